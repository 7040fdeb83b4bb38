#include "fsrecovery/session.h"

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

Session::Session(const device::DeviceMap& devicesIn)
    : devices(devicesIn), NtfsFileTable(ntfsFileTableColumns()), itemList(basicItemColumns()) {}

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
}

} // namespace snapmend::fsrecovery
