#include "fsrecovery/deep_search.h"

#include <array>

#include "device/partition_table.h"
#include "device/volume_params.h"
#include "fsrecovery/basic_search.h"
#include "fsrecovery/deep_scan_fat.h"
#include "fsrecovery/deep_scan_ntfs.h"
#include "fsrecovery/fat/fat_walker.h"
#include "fsrecovery/folder_listing.h"

namespace snapmend::fsrecovery {

namespace {

bool isDeepKind(std::string_view fs) { return fs == "FAT16" || fs == "FAT32" || fs == "NTFS"; }

// Stop hands the parameters of the selection back before what was found is assembled.
void paramsAfterStop(Session& session) {
    auto& state = session.target;
    state.activeParams = state.calculatedParams;
    state.activeParams.partType = state.target.fileSystem;
}

// FAT16 root directories hold at most 65535 entries.
constexpr std::uint32_t kMaxFat16RootSectors = 4096;
constexpr int kVolumeCheckPassed = 2;

// A start on a disk, on a partition of it or on a drive read through it lists the disk's partition
// slots as the volumes the search covers. A volume image read through a disk of its own has a boot
// sector, not a partition table, at sector 0: it gives no rows.
void appendDiskVolumeRows(Session& session) {
    const auto disk = device::diskNumberOf(session.devicePath());
    if (!disk) return;
    const device::AttachedDisk* attached = session.devices.disk(*disk);
    if (!attached || attached->volumeOnly) return;
    const std::uint64_t sectors = attached->sizeBytes >> device::kSectorShift;
    ItemTree tree;
    const ItemId diskItem = tree.insert(kNoItem, "Disk");
    device::DiskPartitions entry;
    (void)device::walkPartitionTable(session.devices, *disk, tree, diskItem, 0, sectors, entry);
    device::appendDeepNtfsVolumeRows(session.DeepNtfsVolumeList, *disk, tree.children(diskItem).size(), entry,
                                     sectors);
}

} // namespace

Result<void> StartDeepSearch(Session& session, EngineSink& sink) {
    if (!isDeepKind(session.target.target.fileSystem)) {
        sink.message(MessageKind::Information, kSelectFileSystemType);
        return makeError(Errc::InvalidArgument, std::string(kSelectFileSystemType));
    }
    session.clearResults();
    session.decodeFileNames = false;
    session.target.target.searchMode = std::string(kDeepSearchMode);
    appendDiskVolumeRows(session);
    sink.status("");
    return {};
}

int CheckDeepVolume(const Session& session) {
    const auto& p = session.params();
    const bool fat32 = p.partType == "FAT32";
    if ((!fat32 && p.partType != "FAT16") || (fat32 && p.RootStartSec == 0)) return 0;

    std::vector<std::uint64_t> sectors;
    if (fat32) {
        for (const std::uint32_t c : fat::BuildClusterChain(session, p.RootStartSec))
            for (std::uint32_t k = 0; c >= 2 && k < p.SPC; ++k) sectors.push_back(p.clusterSector(c) + k);
    } else {
        for (std::uint32_t i = 0; i < std::min(p.RootSec, kMaxFat16RootSectors); ++i)
            sectors.push_back(std::uint64_t{p.RootStartSec} + i);
    }
    int named = 0;
    std::array<std::byte, device::kSectorSize> buf{};
    for (const std::uint64_t sector : sectors) {
        if (!session.devices.readSectors(session.devicePath(), sector, 1, buf)) continue;
        const fat::SectorBytes s(buf);
        for (std::size_t i = 0; i < fat::kEntriesPerSector; ++i) {
            const fat::EntryBytes e = s.subspan(i * fat::kEntrySize).first<fat::kEntrySize>();
            if (fat::isEndOfDirectory(e)) break;
            if (fat::isDotEntry(e) || fat::isLongNameEntry(e)) continue;
            const fat::EntryInfo info = fat::decodeEntry(e, fat32);
            if ((info.attr & fat::kAttrDirectory) || !info.acceptable) continue;
            const std::string name =
                fat::displayName(fat::ReadLongName(session, s, i * fat::kEntrySize, sector), info.shortName);
            if (!name.empty() && ++named == kVolumeCheckPassed) return kVolumeCheckPassed;
        }
    }
    return 0;
}

void DeepTreeWorker(Session& session, EngineSink& sink) {
    BuildDeepFatTree(session, sink);
    LoadDeepVolume(session, 1);
    session.recovered.LostDirList.clear();
}

bool FinishDeepFatScan(Session& session, EngineSink& sink) {
    session.volumeCheck = 0;
    if (session.DirClusterList.empty() && !session.FoundBootSectorList.empty()) {
        // No subdirectory anywhere: the first boot sector's root directory decides.
        LoadVolumeParams(session, session.FoundBootSectorList, 0);
        session.volumeCheck = CheckDeepVolume(session);
    }
    DecideDeepVolumes(session, session.volumeCheck, sink);
    session.itemList.clear();
    if (!session.DeepVolumeList.empty()) {
        DeepTreeWorker(session, sink);
        return true;
    }
    auto& rt = session.recovered;
    if (rt.tree.size() == 0) {
        session.folderCount = 0;
        session.fileCount = 0;
        rt.ensureRoot();
        sink.status(countsText(0, 0));
    }
    return false;
}

DeepSearchSummary DeepSearchWorker(Session& session, EngineSink& sink, std::stop_token stop) {
    DeepSearchSummary summary;
    auto& state = session.target;
    state.target.searchMode = std::string(kDeepSearchMode);
    const std::string fs = state.target.fileSystem;
    // Only a hint for Stop: a deep scan trusts no boot sector.
    (void)device::computeVolumeParams(session.devices, state, session.logicalDevicePath);
    auto& rt = session.recovered;

    if (fs == "NTFS") {
        SetDeepNtfsVolume(session);
        rt.clear();
        rt.ensureRoot();
        DeepScanNtfs(session, sink, stop);
        summary.stopped = stop.stop_requested();
        if (summary.stopped) {
            paramsAfterStop(session);
            SetDeepNtfsVolume(session);
        }
        sink.status(kSearchingLostDirectories);
        AssembleDeepNtfsTree(session);
        summary.fileRecords = session.NtfsFileTable.rowCount();
    } else if (fs == "FAT16" || fs == "FAT32") {
        DeepScanFat(session, sink, stop);
        summary.stopped = stop.stop_requested();
        if (summary.stopped) paramsAfterStop(session);
        summary.bootSectors = session.FoundBootSectorList.rowCount();
        summary.dirClusters = session.DirClusterList.rowCount();
        sink.status(kSearchingLostDirectories);
        FinishDeepFatScan(session, sink);
        summary.volumes = session.DeepVolumeList.rowCount();
    }
    if (rt.tree.size() == 0) rt.ensureRoot();
    summary.folders = rt.folders.size();
    return summary;
}

bool StopDeepSearch(std::stop_source& scan) { return scan.request_stop(); }

} // namespace snapmend::fsrecovery
