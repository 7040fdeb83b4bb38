#include "common/result.h"

namespace snapmend {

const char* errcName(Errc code) {
    switch (code) {
    case Errc::Io: return "I/O error";
    case Errc::Corrupt: return "corrupt structure";
    case Errc::Unsupported: return "unsupported";
    case Errc::NotFound: return "not found";
    case Errc::Cancelled: return "cancelled";
    case Errc::NoSpace: return "no space left";
    case Errc::InvalidArgument: return "invalid argument";
    }
    return "error";
}

} // namespace snapmend
