// Deep Search over FAT16/FAT32: a sector-by-sector scan for boot sectors and directory clusters,
// the decision which volumes exist (from boot sectors, or inferred from pairs of directory
// clusters), the location of their FATs, and one recovered tree holding the folders of every
// volume, each folder remembering its volume in cluster0Start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>

#include "common/engine_sink.h"
#include "fsrecovery/session.h"

namespace snapmend::fsrecovery {

// Columns of FoundBootSectorList; DeepVolumeList has the same and kBsEndSector.
enum BootSectorColumn : std::size_t {
    kBsSector, kBsSpf, kBsSpc, kBsRootSectors, kBsRootStart, kBsReserve, kBsCluster0Start, kBsFirstFat,
    kBsSecondFat, kBsTotalSectors, kBsPartType, kBsEndSector
};
// Columns of DirClusterList.
enum DirClusterColumn : std::size_t {
    kDcSector, kDcSelf, kDcParent, kDcFileSystem, kDcDate, kDcTime, kDcFirstRun, kDcCluster0Start
};

// Deep scans read this many sectors per call (512 KiB).
inline constexpr std::uint32_t kDeepBlockSectors = 1024;
// Rows the scan keeps at most. A real card has a few thousand directories; a medium full of
// copies of directory clusters or boot sectors must not exhaust memory.
inline constexpr std::size_t kMaxDirClusterRows = std::size_t{1} << 21;
inline constexpr std::size_t kMaxBootSectorRows = 4096;

// Reads every sector of the target's range through one handle and fills FoundBootSectorList and
// DirClusterList. A stop request ends the scan after the current block; rows found are kept.
void DeepScanFat(Session& session, EngineSink& sink, std::stop_token stop);

// Fills DeepVolumeList and gives every DirClusterList row it can place its volume number and
// Cluster0Start. volumeCheck 2 makes the first boot sector found the only volume.
void DecideDeepVolumes(Session& session, int volumeCheck, EngineSink& sink);

// Finds the two FAT copies of a volume row (1-based) whose firstFAT is 0, by the 0xF8 0xFF 0xFF
// that opens each FAT, and writes them (and the sizes that follow from them) into the row and
// activeParams. False when they are not found; the row keeps firstFAT 0 then.
bool LocateFats(Session& session, std::size_t volumeRow, EngineSink& sink);

// Builds the recovered tree from DirClusterList, volume by volume, under one "Root" and one
// "LST_Miscellaneous".
void BuildDeepFatTree(Session& session, EngineSink& sink);

// Loads activeParams from a row of FoundBootSectorList or DeepVolumeList (0-based): a FAT16 root of
// 0 sectors becomes 32, and a root start of 0 the sector before cluster 2 (FAT16) or cluster 2.
void LoadVolumeParams(Session& session, const WorkTable& table, std::size_t row);

// Loads activeParams from DeepVolumeList row n (1-based). False for a row that does not exist.
bool LoadDeepVolume(Session& session, std::size_t n);

// Makes activeParams describe the volume whose cluster 0 lies at cluster0Start (the first such
// row), before a folder's directory is read. Nothing happens outside Deep FAT, or when that
// volume is loaded already. False when no volume has that cluster 0.
bool SwitchToFolderVolume(Session& session, std::uint64_t cluster0Start);

} // namespace snapmend::fsrecovery
