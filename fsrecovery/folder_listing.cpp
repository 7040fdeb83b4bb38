#include "fsrecovery/folder_listing.h"

#include <cstdio>

namespace snapmend::fsrecovery {

std::string countsText(std::uint64_t folders, std::uint64_t files) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%llu Folders, %llu Files", static_cast<unsigned long long>(folders),
                  static_cast<unsigned long long>(files));
    return buf;
}

ListingOutcome FolderListingWorker(Session&, ItemId, EngineSink&) { return {}; }

} // namespace snapmend::fsrecovery
