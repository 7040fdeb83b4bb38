// The partition search: probes a disk cylinder by cylinder for FAT16, FAT32 and NTFS boot sectors
// where partitions usually begin, and adds each new one to the disk's partition table and under
// the disk's tree item. A disk that ends up without any partition item becomes one whole-disk
// partition.
#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/engine_sink.h"
#include "device/drive_enum.h"

namespace snapmend::device {

inline constexpr std::string_view kSearchingPartitionsText = "Searching Partitions...";
inline constexpr std::string_view kStopSearchQuestion = "Do you want to stop searching partition?";
inline constexpr std::string_view kSelectPhysicalDisk =
    "Select the Physical Disk (in which you want to search Partitions) from the list of available Physical Drives "
    "in left Panel in order to search deleted or missing Partitions.";
inline constexpr std::string_view kSelectPhysicalOrLogical =
    "Select the Physical or Logical Drive (in which you want to search Partitions) from the list of available "
    "Drives in left Panel in order to search deleted or missing Partitions.";
inline constexpr std::string_view kUnknownPartitionLabel = "Unknown Partition";

// Cylinders, heads and sectors per track of the disk being searched.
struct SearchGeometry {
    std::uint64_t cylinders = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectorsPerTrack = 0;
};

// The geometry from the property-list texts ("5. Cylinders :", "6. Heads :", "9. Sector per Track :").
SearchGeometry searchGeometryFromText(std::string_view cylinders, std::string_view heads,
                                      std::string_view sectorsPerTrack);
// A geometry that is not 63 sectors per track is converted to 255 heads of 63 sectors, computed
// in 64 bits so that disks above 2 TiB keep their cylinder count.
SearchGeometry probeGeometry(SearchGeometry g);

// "No physical storage area found in Disk(Disk - %d)...", and the logical drive's form.
std::string noStorageAreaMessage(int disk);
std::string noStorageAreaDriveMessage(std::string_view driveChars);

// "Found %d more partitions in selected %s ( %s - %d )" or "No more partitions found in selected
// %s ( %s - %d )"; for a kind other than "Disk" the last part is diskText.
std::string describeSearchResult(int foundCount, std::string_view kind, int diskNumber, std::string_view diskText);

// What "Search More Partitions" does with the current selection.
enum class SearchStartKind { CylinderProbe, LogicalDrive, Refused };
struct SearchStart {
    SearchStartKind kind = SearchStartKind::Refused;
    std::string message;  // the refusal
};
// deepSearch: the Deep Search dialog, where a logical drive starts the logical drive search;
// rangeEndSector: the dialog's end-sector box (none in Basic Search).
SearchStart startPartitionSearch(const DriveList& list, ItemId selected, std::string_view targetKind,
                                 bool deepSearch, std::optional<std::uint64_t> rangeEndSector);

struct PartitionSearchRequest {
    int disk = 0;                  // currentDisk
    std::string devicePath;        // DevicePathTable[disk], or the waiting record's path
    ItemId diskItem = kNoItem;
    SearchGeometry geometry;
    std::uint64_t diskTotalSectors = 0;  // the total remembered when the disk was selected
    std::string mode;              // for the "4. Search Mode : " row
};

struct PartitionSearchResult {
    int foundCount = 0;
    bool stopped = false;       // a confirmed stop ended the probing
    bool tableFull = false;     // the disk reached its 26 partitions
    bool deviceOpened = false;
    std::uint64_t cylindersProbed = 0;
    std::vector<ItemId> added;  // new partition items, in order (the whole-disk item included)
    ItemId selectedItem = kNoItem;
    std::string targetKind;     // "part" when an item was selected
    std::string selectedLabel;
    std::vector<PropertyRow> properties;
    std::string message;        // describeSearchResult
    std::vector<std::string> notes;
};

// Probes the disk and runs the end steps (finishPartitionSearch). Stops before the next cylinder
// once stop is requested; what was found stays in place. New items are coloured green in list.
PartitionSearchResult partitionSearch(const DeviceMap& devices, DriveList& list, const PartitionSearchRequest& request,
                                      EngineSink& sink, std::stop_token stop);

// The end steps: selects the disk's first partition item, or turns the whole disk into partition
// 1, and writes the final message into result.
void finishPartitionSearch(DriveList& list, const PartitionSearchRequest& request, PartitionSearchResult& result);

// Asks whether to stop; on Yes requests the stop and returns true.
bool stopPartitionSearch(EngineSink& sink, std::stop_source& source);

// The automatic search: every waiting disk labelled "Removable Media" under "Physical Drives" is
// searched in list order; a stop ends it. One result per disk searched.
std::vector<PartitionSearchResult> autoSearchPendingDisks(const DeviceMap& devices, DriveList& list,
                                                          std::string_view mode, EngineSink& sink,
                                                          std::stop_token stop);

// The waiting variant, for a target whose NTFS boot sectors are both unusable: probes the target's
// disk and takes the first partition found as the target (file system, start, end) and computes
// its volume parameters. The partition is recorded in entry. Returns whether one was found.
bool waitingPartitionSearch(const DeviceMap& devices, TargetState& state, DiskPartitions& entry,
                            const PartitionSearchRequest& request, EngineSink& sink, std::stop_token stop);

} // namespace snapmend::device
