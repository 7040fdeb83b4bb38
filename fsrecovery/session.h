// The state of one Basic (or Deep) Search: its target, recovered tree, hidden tables, the listing
// counters and flags. Engines take it explicitly; only the worker running a step touches it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/work_table.h"
#include "device/device_map.h"
#include "device/scan_target.h"
#include "fsrecovery/recovered_tree.h"

namespace snapmend::fsrecovery {

// The MFT's own location: runs of absolute sectors, in MFT order.
struct MftRun {
    std::uint64_t start = 0;   // absolute sector; 0 for a sparse run
    std::uint64_t length = 0;  // sectors
};
using MftRunList = std::vector<MftRun>;

// Item-list columns of the Basic Search dialog (the Deep Search list adds "FILE_SYS"). Both lists
// end with a hidden "Deleted" column ("1" for an entry or record marked deleted, else empty) that
// the command line and the save walk report.
enum ItemColumn : std::size_t {
    kItName, kItType, kItSize, kItDate, kItTime, kItHidden1, kItHidden2, kItHidden3, kItSfn, kItFileSys, kItDeleted
};
std::vector<std::string> basicItemColumns();
std::vector<std::string> deepItemColumns();
std::vector<std::string> ntfsFileTableColumns();  // "Sector", "name", "size", "date", "time", "type"
// Column words of the Deep Search FAT lists.
std::vector<std::string> foundBootSectorColumns();
std::vector<std::string> deepVolumeColumns();  // the boot-sector columns plus "End Sector"
std::vector<std::string> dirClusterColumns();

inline constexpr std::string_view kDeepSearchMode = "Deep Search";

struct Session {
    explicit Session(const device::DeviceMap& devicesIn);

    const device::DeviceMap& devices;
    device::TargetState target;
    std::string logicalDevicePath;

    RecoveredTree recovered;
    WorkTable NtfsFileTable;
    MftRunList mftRuns;

    // The item list of the folder listed last.
    WorkTable itemList;
    std::uint64_t folderCount = 0;  // "%llu Folders, %llu Files"
    std::uint64_t fileCount = 0;
    ItemId lastListedItem = kNoItem;

    // Set by a new selection; chain building, naming and listing stop when they see it.
    std::atomic<bool> listingCancel{false};
    // File names of NTFS file records are decoded once a folder has been listed.
    bool decodeFileNames = false;
    // The search found content even if the tree holds no folder.
    bool resultsFound = false;
    bool loadedFromLog = false;

    // Deep Search: FAT boot sectors and directory clusters found by the scan, the volumes
    // decided from them, and the result of the root-directory check on the first boot sector.
    WorkTable FoundBootSectorList;
    WorkTable DeepVolumeList;
    WorkTable DirClusterList;
    int volumeCheck = 0;
    // The volumes a Deep Search covers, one row per partition slot of the scanned disk (or per
    // volume found on a drive); kept so that a recovery log carries them.
    WorkTable DeepNtfsVolumeList;
    // The word a recovery log keeps after its NTFS file table: 0 after a scan, as read after a load.
    std::uint32_t ntfsReserved = 0;

    const device::VolumeParams& params() const { return target.activeParams; }
    const std::string& devicePath() const { return target.devicePath; }
    bool isNtfs() const { return target.activeParams.partType == "NTFS"; }
    bool isDeepSearch() const { return target.target.searchMode == kDeepSearchMode; }
    // Deep Search on a FAT kind with at least one volume decided: folders switch volumes.
    bool isDeepFat() const {
        return isDeepSearch() && target.target.fileSystem != "NTFS" && !DeepVolumeList.empty();
    }

    // Empties everything a "Back" or a new scan empties.
    void clearResults();
};

} // namespace snapmend::fsrecovery
