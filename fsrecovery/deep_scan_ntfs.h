// Deep Search over NTFS: every sector of the range that opens a 1024-byte MFT record is taken as
// a record in its own right, wherever it lies, so folders and files come back from a volume whose
// boot sector, $MFT record or run list is gone. Directory records become folders of the recovered
// tree, file records rows of NtfsFileTable that the folder listing reads on demand.
#pragma once

#include <cstdint>
#include <span>
#include <stop_token>

#include "common/engine_sink.h"
#include "fsrecovery/session.h"

namespace snapmend::fsrecovery {

// Cluster size taken when no NTFS boot sector is found at the volume's start.
inline constexpr std::uint32_t kDeepNtfsDefaultSpc = 8;

// Sets activeParams for saving from a deep NTFS scan: cluster 0 at the listed start of the target
// (the first partition of a whole disk), the cluster size of the boot sector found there (8
// sectors without one), partType "NTFS".
void SetDeepNtfsVolume(Session& session);

// Reads every sector of the target's range through one handle and files each record found. A
// stop request ends the scan after the current block; what was found is kept.
void DeepScanNtfs(Session& session, EngineSink& sink, std::stop_token stop);

// Files one record found at sector (1024 bytes as read, before fixups): a directory becomes a
// folder (or a LostDirList row while its parent is not yet a folder), anything else an
// NtfsFileTable row keyed by its parent and its sector.
void TakeDeepNtfsRecord(Session& session, std::uint64_t sector, std::span<const std::byte> raw);

// After the scan: attaches the directories that came before their parents, resolves the rest and
// assembles them under "Root" and "LST_Miscellaneous".
void AssembleDeepNtfsTree(Session& session);

} // namespace snapmend::fsrecovery
