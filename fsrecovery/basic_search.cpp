#include "fsrecovery/basic_search.h"

namespace snapmend::fsrecovery {

BasicSearchSummary BasicSearchWorker(Session&, EngineSink&, std::stop_token) { return {}; }

void LeaveBasicResults(Session& session) { session.clearResults(); }

} // namespace snapmend::fsrecovery
