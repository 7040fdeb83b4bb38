// The one current target of all scans: which device, which sector range, which file system,
// and the volume parameters that belong to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "device/volume_params.h"

namespace snapmend::device {

// Field order and widths are those the recovery log writes.
struct ScanTarget {
    std::uint16_t diskIndex = 0;
    std::uint32_t partitionIndex = 0;
    std::string fileSystem;  // "FAT16", "FAT32", "NTFS", "Unknown", or empty while not known
    std::string searchMode;  // "Basic Search", "Deep Search", "Photo Search", "Video Search", "Raw Search"
    std::uint64_t startSector = 0;
    std::uint64_t endSector = 0;  // one past the last sector
    std::uint64_t listedStartSector = 0;
    std::uint64_t listedEndSector = 0;
};

// Kinds of drive-tree item a target can be set from.
inline constexpr std::string_view kKindHardDisk = "Hard Disk";
inline constexpr std::string_view kKindLogical = "Logical";
inline constexpr std::string_view kKindPartition = "part";
inline constexpr std::string_view kKindRecognised = "Recognised";

// The target with everything that shares its lifetime.
struct TargetState {
    ScanTarget target;
    std::string targetKind;
    std::string devicePath;  // the device every scan, walker and save opens
    VolumeParams calculatedParams;
    VolumeParams activeParams;
};

void resetTarget(TargetState& state);

// Where a logical drive lies on its physical disk (the volume-to-disk lookup).
struct VolumeOnDisk {
    int disk = 0;
    std::uint64_t firstSector = 0;
    std::uint64_t endSector = 0;  // first sector + length
    bool dynamic = false;
};

// What the selected drive-tree item and its property list say.
struct TargetSelection {
    std::string kind;               // kKindHardDisk, kKindLogical, kKindPartition, kKindRecognised
    int diskIndex = 0;              // property-list disk number or the remembered one
    std::uint32_t partitionIndex = 0;
    std::string fileSystemText;     // the property-list row naming the file system
    std::vector<std::string> partitionLabels;  // a whole disk's partition items
    std::uint64_t start = 0;        // the item's own start and end (property-list rows)
    std::uint64_t end = 0;
    std::uint64_t diskTotalSectors = 0;  // 0 when the item has no known size
    std::optional<VolumeOnDisk> volumeOnDisk;  // for a logical drive
    std::string logicalDevicePath;  // the drive's own path, for "Recognised" items
};

struct TargetOutcome {
    std::string rangeText;     // "Search Range : <start> to <end>"
    std::string noticePrefix;  // "This is a Dynamic disk. \r\n\r\n" for a logical drive on a dynamic disk
};

inline constexpr std::string_view kEndSectorRefused =
    "The value of \u2018End Sector\u2019 cannot be less than or equal to the \u2018Start Sector\u2019 of the Drive.";
inline constexpr std::string_view kDynamicDiskNotice = "This is a Dynamic disk. \r\n\r\n";
inline constexpr std::string_view kWholeDiskPrompt =
    "Please select the Partition to start searching for lost data or use search more partitions option to find "
    "the missing or deleted partitions.\n\nBesides this, you can also use the advanced search mode of Kestrevan - "
    "Recovery to select Entire Drive or Custom Disk Range or even cross File System selection to search the "
    "missing data.";
inline constexpr std::string_view kSearchWholeDriveButton = "Search Entire Drive as a single Partition";
inline constexpr std::string_view kGoBackButton = "OK, Go Back";

// The file-system name a whole disk gets from its partition labels, or the size guess.
std::string wholeDiskFileSystem(const std::vector<std::string>& partitionLabels, std::uint64_t start,
                                std::uint64_t end);

// Fills the target for a mode whose range comes from the selection itself (Basic Search).
// Refuses an end of 0 with kEndSectorRefused (Errc::InvalidArgument) and changes nothing then.
Result<TargetOutcome> setTargetFromSelection(TargetState& state, const TargetSelection& selection,
                                             std::string_view mode);

// Fills the target for a mode with range controls (Deep Search, carving): chosen is [start, end)
// inside [minSector, maxSector] of the selected item.
Result<TargetOutcome> setRangeTarget(TargetState& state, const TargetSelection& selection, std::string_view mode,
                                     std::uint64_t chosenStart, std::uint64_t chosenEnd, std::uint64_t minSector,
                                     std::uint64_t maxSector);

std::string searchRangeText(std::uint64_t start, std::uint64_t end);

} // namespace snapmend::device
