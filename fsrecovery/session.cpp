#include "fsrecovery/session.h"

#include "device/partition_table.h"

namespace snapmend::fsrecovery {

std::vector<std::string> basicItemColumns() {
    return {"Name", "Type", "Size", "Date", "Time", "SelfCluster-Debug Info 1", "ParentCluster-Debug Info 2",
            "TreeItem-Debug Info 3", "SFN", "FILE_SYS", "Deleted"};
}

std::vector<std::string> deepItemColumns() {
    return {"Name", "Type", "Size", "Date", "Time", "Sector-Debug Info 1", "ParentMFT-Debug Info 2",
            "SelfMFT-Debug Info 3", "SFN", "FILE_SYS", "Deleted"};
}

std::vector<std::string> ntfsFileTableColumns() { return {"Sector", "name", "size", "date", "time", "type"}; }

std::vector<std::string> foundBootSectorColumns() {
    return {"Sector",          "SPF",           "SPC",      "Root Sectors", "Root Start", "Reserve Sectors",
            "Cluster0Start",   "firstFAT",      "secondFAT", "TotalSectors", "PartType"};
}

std::vector<std::string> deepVolumeColumns() {
    auto columns = foundBootSectorColumns();
    columns.emplace_back("End Sector");
    return columns;
}

std::vector<std::string> dirClusterColumns() {
    return {"Sector", "Self Cluster", "Parent Cluster", "File System", "Date", "Time", "First Run", "Cluster0Start"};
}

Session::Session(const device::DeviceMap& devicesIn)
    : devices(devicesIn),
      NtfsFileTable(ntfsFileTableColumns()),
      itemList(basicItemColumns()),
      FoundBootSectorList(foundBootSectorColumns()),
      DeepVolumeList(deepVolumeColumns()),
      DirClusterList(dirClusterColumns()),
      DeepNtfsVolumeList(device::deepNtfsVolumeColumns()) {}

void Session::clearResults() {
    recovered.clear();
    NtfsFileTable.clear();
    mftRuns.clear();
    itemList.clear();
    folderCount = 0;
    fileCount = 0;
    lastListedItem = kNoItem;
    listingCancel = false;
    resultsFound = false;
    loadedFromLog = false;
    FoundBootSectorList.clear();
    DeepVolumeList.clear();
    DirClusterList.clear();
    volumeCheck = 0;
    DeepNtfsVolumeList.clear();
    ntfsReserved = 0;
}

} // namespace snapmend::fsrecovery
