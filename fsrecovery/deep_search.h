// Deep Search: the run that rebuilds the folders and files of FAT16, FAT32 and NTFS volumes whose
// boot sector, FAT or MFT can no longer be trusted, by reading every sector of a chosen range.
// The file-system kind is the user's choice, not detected.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string_view>

#include "common/engine_sink.h"
#include "common/result.h"
#include "fsrecovery/session.h"

namespace snapmend::fsrecovery {

inline constexpr std::string_view kSelectFileSystemType = "Select file system type for recovery of selected drive.";
inline constexpr std::string_view kCompletedText = "Completed ";

struct DeepSearchSummary {
    bool stopped = false;             // Stop ended the scan part-way; what was found is assembled
    std::uint64_t bootSectors = 0;    // FAT boot sectors found
    std::uint64_t dirClusters = 0;    // FAT directory clusters found
    std::uint64_t volumes = 0;        // FAT volumes decided on
    std::uint64_t fileRecords = 0;    // NTFS file records found
    std::uint64_t folders = 0;
};

// The checks of "Next" for a Deep Search whose target is set: refuses a file system other than
// "FAT16", "FAT32" or "NTFS" with kSelectFileSystemType (Errc::InvalidArgument) and changes
// nothing then; otherwise empties the previous results and readies the session. A target read
// through a physical disk puts one DeepNtfsVolumeList row per partition slot of that disk; for a
// "Recognised" drive read directly the caller adds the drive's rows (appendRecognisedDeepNtfsRows).
Result<void> StartDeepSearch(Session& session, EngineSink& sink);

// The whole run on the calling thread: scan, volume decisions, tree. A stop request ends the scan
// within one block and the results gathered so far are assembled.
DeepSearchSummary DeepSearchWorker(Session& session, EngineSink& sink, std::stop_token stop);

// The steps after a FAT scan (also after Stop): the volume check when no directory cluster was
// found, the volume decisions, then the tree. True when at least one volume was decided.
bool FinishDeepFatScan(Session& session, EngineSink& sink);

// Builds the FAT tree of the decided volumes and loads volume 1, so "Root" lists it first.
void DeepTreeWorker(Session& session, EngineSink& sink);

// 2 when activeParams describe a root directory holding at least two files with usable names,
// else 0.
int CheckDeepVolume(const Session& session);

// "Stop": asks the running scan to end; it ends within one block and keeps what it found.
// False when no scan was running (the request had been made already).
bool StopDeepSearch(std::stop_source& scan);

} // namespace snapmend::fsrecovery
