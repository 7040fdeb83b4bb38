// The state of one Basic (or Deep) Search: its target, recovered tree, hidden tables, the listing
// counters and flags. Engines take it explicitly; only the worker running a step touches it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
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

    const device::VolumeParams& params() const { return target.activeParams; }
    const std::string& devicePath() const { return target.devicePath; }
    bool isNtfs() const { return target.activeParams.partType == "NTFS"; }

    // Empties everything a "Back" or a new scan empties.
    void clearResults();
};

} // namespace snapmend::fsrecovery
