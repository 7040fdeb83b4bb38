// Partition tables of a disk: the master boot record, the chain of extended boot records and a
// GUID partition table behind a protective MBR. Every recognised FAT16, FAT32 or NTFS partition is
// recorded in the disk's entry of the DiskPartitionTable and added as an item of the drive tree.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/item_tree.h"
#include "common/work_table.h"
#include "device/device_map.h"

namespace snapmend::device {

// The partitionFs array bounds what a disk can hold.
inline constexpr std::uint32_t kMaxPartitionsPerDisk = 26;
inline constexpr std::size_t kPartitionSlots = 50;
// Image index of a partition item in the drive tree.
inline constexpr int kPartitionImage = 2;
// Extended boot records read per disk before the chain is given up. Real chains hold one record
// per logical partition; this stops a crafted or damaged chain that never loops back but never
// ends either from reading the disk record by record.
inline constexpr std::size_t kMaxExtendedBootRecords = 256;
// Passed as a disk's sector count when only the attached device's own size bounds the reads.
inline constexpr std::uint64_t kUnknownSectorCount = ~std::uint64_t{0};

struct PartitionSlot {
    ItemId treeItem = kNoItem;
    std::uint64_t startSector = 0;  // absolute on the disk
    std::uint64_t endSector = 0;    // one past the last sector (MBR/EBR) or the ending LBA (GPT)
    std::uint32_t index = 0;
    bool endInclusive = false;      // endSector is the last sector itself (GUID table entries)
};

struct DiskPartitions {
    std::uint32_t partitionCount = 0;
    std::array<std::string, kMaxPartitionsPerDisk> partitionFs;
    std::array<PartitionSlot, kPartitionSlots> slots;

    void reset() { *this = DiskPartitions{}; }
};

// One entry per disk number.
using DiskPartitionTable = std::array<DiskPartitions, kMaxDisks>;

// What a walk noticed that the user may want to know (loops, caps, unreadable sectors).
struct PartitionWalkNotes {
    std::vector<std::string> notes;
};

// "Partition - <k+1> ( <fs> )"
std::string partitionLabel(std::uint32_t slotIndex, std::string_view fileSystem);

// Inserts label as the last child of parent with the partition image and expands the parent.
ItemId addPartitionItem(ItemTree& tree, std::string label, ItemId parent);

// Walks the MBR at tableSector of DevicePathTable[currentDisk] and its extended chain (or the GUID
// table it leads to), recording partitions in entry and items under parent. Recording starts at
// entry.partitionCount and stops at kMaxPartitionsPerDisk; no sector at or beyond diskSectorCount
// is read.
PartitionWalkNotes walkPartitionTable(const DeviceMap& devices, int currentDisk, ItemTree& tree, ItemId parent,
                                      std::uint64_t tableSector, std::uint64_t diskSectorCount,
                                      DiskPartitions& entry);

// Walks GUID partition entries from firstEntrySector through sector 33. No sector at or beyond
// diskSectorCount is read.
void walkGuidTable(const DeviceMap& devices, int currentDisk, ItemTree& tree, ItemId parent,
                   std::uint64_t firstEntrySector, DiskPartitions& entry, PartitionWalkNotes& notes,
                   std::uint64_t diskSectorCount = kUnknownSectorCount);

// The file system a boot sector's signature names, tested in this order: "FAT32" at 82, "FAT16" at
// 54, "NTFS" at 3; empty when none is present.
std::string_view bootSignatureFs(std::span<const std::byte, kSectorSize> sector);

// "FAT16" | "FAT32" | "NTFS" | "Unknown"
std::string normaliseFsName(std::string_view text);
// "NTFS" from 35 GiB, "FAT32" from 1 MiB, else "Unknown".
std::string guessFsBySize(std::uint64_t startSector, std::uint64_t endSector);

// Column words of the Deep NTFS volume table.
std::vector<std::string> deepNtfsVolumeColumns();
// Appends one row per slot of a disk to the Deep NTFS volume table, as a Deep Search start does.
void appendDeepNtfsVolumeRows(WorkTable& deepNtfsVolumeList, int disk, std::size_t diskChildItems,
                              const DiskPartitions& entry, std::uint64_t diskTotalSectors);

} // namespace snapmend::device
