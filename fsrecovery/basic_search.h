// Basic Search: rebuilds the directory tree of one FAT16, FAT32 or NTFS volume from the file
// system as it is found, deleted entries included.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string_view>

#include "common/engine_sink.h"
#include "fsrecovery/session.h"

namespace snapmend::fsrecovery {

inline constexpr std::string_view kSearchingLostDirectories = "Searching Lost Directories. Please wait...";
inline constexpr std::string_view kStoringDirectoryInformation = "Storing Directory Information. Please wait...";
inline constexpr std::string_view kSectorsScannedOfTotal = "sectors scanned of total ";
inline constexpr std::string_view kScanStillRunning =
    "Disk scanning process is still going on.\n\nPlease allow the scanning process to be completed or you can also "
    "cancel the scanning by clicking on \u2018Stop\u2019 button.";

struct BasicSearchSummary {
    bool stopped = false;           // Stop ended the scan part-way; what was found is kept
    bool paramsFromBootSector = false;
    bool paramsFound = false;
    std::uint64_t folders = 0;
};

// The whole run on the calling thread: parameters, scan, assembly. The session's target must
// be set. A stop request ends the scan within one block or record and the tree is assembled
// from what was found.
BasicSearchSummary BasicSearchWorker(Session& session, EngineSink& sink, std::stop_token stop);

// "Back" after a scan: empties every result so another drive can be chosen.
void LeaveBasicResults(Session& session);

} // namespace snapmend::fsrecovery
