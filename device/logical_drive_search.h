// The logical drive search: reads a whole logical drive for the NTFS and FAT16 boot sectors of
// file systems that once lay on it, records each as a row of the found-file-system list and as a
// "Recognised" item under the drive, and turns a chosen one into a Deep Search range.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/engine_sink.h"
#include "common/item_tree.h"
#include "common/work_table.h"
#include "device/device_map.h"

namespace snapmend::device {

inline constexpr std::string_view kRecognised = "Recognised";
// Sectors read per block.
inline constexpr std::uint32_t kLogicalSearchBlockSectors = 1024;

// Columns of FoundFsList.
enum FoundFsColumn : std::size_t {
    kFfSNo, kFfFoundFileSystem, kFfFileSystemName, kFfStartSector, kFfEndSector, kFfSize,
    kFfSPF, kFfSPC, kFfRootSec, kFfRootStartSec, kFfReserveSecStart, kFfCluster0Start,
    kFfFirstFAT, kFfSecondFAT, kFfTotalSectors, kFfPartType
};
std::vector<std::string> foundFsColumns();

// "Log|" + the drive's device path + "|".
std::string driveKey(std::string_view logicalDevicePath);

struct LogicalSearchRequest {
    std::string logicalDevicePath;  // "\\.\E:"
    std::string driveLabel;         // the drive item's label; its first two characters name the drive
    ItemId driveItem = kNoItem;
    std::uint64_t endSector = 0;    // E: the drive's sector count ("2. End Sector : ")
};

struct LogicalSearchResult {
    int foundCount = 0;
    bool stopped = false;
    bool deviceOpened = false;
    std::uint64_t sectorsRead = 0;
    std::vector<ItemId> added;
    ItemId lastAdded = kNoItem;
    std::string message;  // describeSearchResult with kind "Drive"
};

// Reads sectors 0 up to the request's end (bounded by the drive's size) in 1024-sector blocks and
// records every new NTFS and FAT16 boot sector. Stops before the next block once stop is requested;
// rows found so far stay.
LogicalSearchResult searchLogicalDrive(const DeviceMap& devices, ItemTree& tree, WorkTable& FoundFsList,
                                       const LogicalSearchRequest& request, EngineSink& sink, std::stop_token stop);

// What selecting a "Recognised" item sets.
struct RecognisedSelection {
    bool valid = false;
    std::vector<WorkTable::Row> view;  // the drive's rows, columns 1 to 15
    std::string fileSystemChoice;      // "FAT16" or "NTFS"
    std::uint64_t startSector = 0;
    std::uint64_t endSector = 0;       // clipped to maxSector
    std::uint64_t maxSector = 0;       // D, the drive's sector count
    std::string logicalDevicePath;     // the drive read directly
    std::uint64_t listedStartSector = 0;
};
RecognisedSelection selectRecognisedItem(const ItemTree& tree, ItemId item, const WorkTable& FoundFsList,
                                         const std::vector<std::string>& logDriveTable);

// The Deep NTFS volume rows of a Deep Search on a "Recognised" item: one per FoundFsList row of
// the drive, the end clipped to the drive's sector count.
void appendRecognisedDeepNtfsRows(WorkTable& deepNtfsVolumeList, const WorkTable& FoundFsList,
                                  std::string_view logicalDevicePath, std::uint64_t driveSectors);

} // namespace snapmend::device
