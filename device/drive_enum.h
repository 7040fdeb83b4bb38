// The drive list: the removable physical disks and logical drives recovery can read, each an item
// of the drive tree carrying a DriveItemRecord, with the lists kept beside the tree (logical drive
// list, disk identity list, media list, disks waiting for the automatic partition search).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/item_tree.h"
#include "device/device_map.h"
#include "device/partition_table.h"
#include "device/scan_target.h"

namespace snapmend::device {

// Labels of the fixed top items of the drive tree.
inline constexpr std::string_view kMyComputer = "My Computer";
inline constexpr std::string_view kPhysicalDrives = "Physical Drives";
inline constexpr std::string_view kLogicalDrives = "Logical Drives";
inline constexpr std::string_view kRemovableMedia = "Removable Media";
inline constexpr std::string_view kSelectDriveHint = "Select drive to start recovery...";

// Image indexes of the drive tree.
inline constexpr int kComputerImage = 0;
inline constexpr int kLogicalGroupImage = 1;
inline constexpr int kDriveImage = 2;
inline constexpr int kDiskImage = 3;
inline constexpr int kRecognisedImage = 0;

// Colour of partition items found by the partition search: red 0, green 128, blue 0.
inline constexpr std::uint32_t kFoundPartitionColor = 0x008000;

// Drive geometry media types.
inline constexpr int kRemovableMediaType = 11;
inline constexpr int kFixedMediaType = 12;

// Bus type of an image attached without a description, and of USB sysfs disks.
inline constexpr int kBusUsb = 7;

// Sizes as the drive tree shows them: "%u Byte" below 1 KB, else "%6.2f %cB" of binary units
// (rounded at each step). Callers trim it.
std::string formatSize(std::uint64_t bytes);
// The bus name of an adapter bus type; types beyond the table are "UNKNOWN".
std::string busName(int busType);
// "Removable Media", "External hard disk media", "Fixed hard disk media" or empty.
std::string mediaTypeText(int mediaType, std::string_view bus);

// A physical disk as the machine describes it (the drive geometry and storage queries).
struct PhysicalDiskInfo {
    int number = 0;              // DeviceMap disk number
    bool geometryKnown = false;  // false: no medium in the reader; the disk is not listed
    std::uint64_t cylinders = 0;
    std::uint32_t tracksPerCylinder = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t bytesPerSector = 0;
    // The medium's own size. The geometry rounds it down to whole cylinders; the disk's sector
    // count keeps the rest so that no scan loses the medium's last sectors.
    std::uint64_t mediumBytes = 0;
    int mediaType = 0;
    std::string bus;  // bus name, already mapped
    std::string vendor;
    std::string product;
    std::string revision;
    std::string serial;
};

// A logical drive as the machine describes it (volume information and free space).
struct LogicalDriveInfo {
    char letter = 0;
    bool removable = true;
    std::string label;
    std::uint32_t serial = 0;
    std::string fileSystem;  // as reported; "Unknown" is put in when empty
    bool spaceKnown = true;
    std::uint64_t totalBytes = 0;
    std::uint64_t freeBytes = 0;
    std::string dosDevice;  // drives whose device names a floppy are not listed
};

struct MachineDrives {
    std::string computerName;
    std::vector<PhysicalDiskInfo> disks;
    std::vector<LogicalDriveInfo> drives;
};

// The data of every disk and logical-drive item; fields not set by a listing stay empty or 0.
struct DriveItemRecord {
    std::string label;          // 0  physical: the item's label
    std::string kindText;       // 1  "Logical Drives" | the media-type text
    std::string mode;           // 2  the current mode's name
    std::string startSector;    // 3  logical: "0"
    std::string endSector;      // 4  logical: the volume's sector count
    std::string fileSystem;     // 5
    std::string volume;         // 6  for example E:
    std::string volumeLabel;    // 7
    std::string totalSizeText;  // 8
    std::string freeSpaceText;  // 9
    std::string serialText;     // 10 "%X"
    std::uint64_t currentSizeMiB = 0;  // 11-12
    std::int32_t field13 = 0;          // 13
    std::uint64_t totalBytes = 0;      // 14-15
    std::int32_t diskNumber = 0;       // 16 disk holding the volume
    std::int32_t dynamicDisk = 0;      // 17
    std::uint64_t firstSectorOnDisk = 0;  // 18-19
    std::uint64_t endSectorOnDisk = 0;    // 20-21
    std::string diskNumberText;   // 22
    std::string diskName;         // 23 "Disk1"
    std::string model;            // 24
    std::string sizeAndMedia;     // 25 size text + " - " + media type
    std::string modelRow;         // 26 "1. Model :"
    std::string mediaTypeRow;     // 27 "2. MediaType :"
    std::string busNameRow;       // 28 "3. Interface Type :"
    std::string capacity;         // 29 "4. Capacity(size) :"
    std::string cylinders;        // 30 "5. Cylinders :"
    std::string heads;            // 31 "6. Heads :"
    std::string sectors;          // 32 "7. Sectors :"
    std::string bytesPerSector;   // 33 "8. Bytes per Sector :"
    std::string sectorsPerTrack;  // 34 "9. Sector per Track :"
    std::string revision;         // 35 "10. Firmware Revision ID :"
    std::string field36;          // 36 empty
    std::string serial;           // 37 "11. Serial Number :"
    std::string computerName;     // 38 "12. System Name :"
    std::string physicalDeviceId; // 39 "13. Physical Device ID :"
    std::uint64_t sizeMiB = 0;    // 40-41
};

// A disk waiting for the automatic partition search.
struct smpparam {
    std::uint32_t cylinders = 0;
    std::uint32_t tracksPerCylinder = 0;
    std::uint32_t sectorsPerTrack = 0;
    ItemId treeItem = kNoItem;
    std::uint64_t totalSectors = 0;
    std::string devicePath;
};

struct PropertyRow {
    std::string name;
    std::string value;
};

// One drive list: the drive tree with its records and the lists beside it.
struct DriveList {
    ItemTree tree;
    ItemId root = kNoItem;
    ItemId physicalGroup = kNoItem;
    ItemId logicalGroup = kNoItem;
    std::vector<DriveItemRecord> records;  // an item's data is its record's index + 1
    std::map<ItemId, std::uint32_t> itemColors;
    DiskPartitionTable partitions;
    std::vector<std::string> logDriveTable;      // path + "|%lld" sector count
    std::vector<std::string> diskIdentityTable;  // model||size||sectors||disk
    std::vector<std::string> mediaList;          // number, media-type text, per disk tried
    std::vector<smpparam> pendingSearch;
    std::vector<std::string> notes;              // what the partition walks noticed
    std::uint64_t currentSizeMiB = 0;
    int currentDisk = 0;
    std::string logicalDevicePath;               // the last listed drive
    std::uint64_t lastListedSectors = 0;         // left in the target's endSector

    const DriveItemRecord* record(ItemId item) const;
    ItemId attach(ItemId item, DriveItemRecord record);
};

// Empties the tree and every list and inserts "My Computer", "Physical Drives", "Logical Drives".
void resetDriveList(DriveList& list);

// Lists the removable physical disks 0 to 24 of machine under "Physical Drives", walking each
// one's partition table; disks without a recognised partition wait for the automatic search.
void listPhysicalDisks(const DeviceMap& devices, const MachineDrives& machine, std::string_view mode,
                       DriveList& list);
// Lists the removable logical drives under "Logical Drives"; a letter equal to filter is skipped
// ("ALL" skips none).
void listLogicalDrives(const DeviceMap& devices, const MachineDrives& machine, std::string_view mode,
                       std::string_view filter, DriveList& list);
// Resets the list, then lists the physical disks and the logical drives.
void listDrives(const DeviceMap& devices, const MachineDrives& machine, std::string_view mode, DriveList& list);

// Where the volume ("E:") lies on its disk and whether that disk is dynamic (an MBR entry of type
// 0x42 or a GUID entry of the LDM data type). Zero fields when the volume is unknown.
VolumeOnDisk volumeToDisk(const DeviceMap& devices, std::string_view volume);
// Whether a disk's partition table holds a dynamic-disk entry.
bool isDynamicDisk(const DeviceMap& devices, int disk);

// Property lists of a disk and of a logical drive item.
std::vector<PropertyRow> showDiskProperties(const DriveItemRecord& record);
std::vector<PropertyRow> showVolumeProperties(const DriveItemRecord& record);
// The rows of a partition item: disk, partition number, type, mode, start, end, size.
std::vector<PropertyRow> partitionProperties(int disk, std::uint32_t slotIndex, const DiskPartitions& entry,
                                             std::string_view mode);

// The disk number in a disk label ("Removable Media (Disk1 - 7.40 GB)" gives 1), or -1.
int diskNumberFromLabel(std::string_view label);

// What selecting a drive-tree item does: the kind, the property list and what a scan start reads.
struct DriveSelection {
    std::string targetKind;  // "Hard Disk", "Logical", "part", the group's label
    std::vector<PropertyRow> properties;
    std::string hint;        // shown instead of a property list
    bool recognised = false;  // a "Recognised" item: the logical drive search's selection applies
    int rememberedDisk = 0;   // the disk number a scan start copies (the letter's code for a drive)
    std::string logicalDevicePath;
    std::optional<TargetSelection> target;  // set for disks, drives and partitions
};
DriveSelection selectDriveItem(const DeviceMap& devices, const DriveList& list, ItemId item, std::string_view mode);

// Builds the drive tree: top items, listDrives, the root expanded. Returns the first disk under
// "Physical Drives" labelled "Removable Media" without children, which starts the automatic
// partition search, or kNoItem.
ItemId makeDriveTree(const DeviceMap& devices, const MachineDrives& machine, std::string_view mode,
                     DriveList& list);

} // namespace snapmend::device
