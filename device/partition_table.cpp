// Partition-table walk: the MBR, its chain of extended boot records and a GUID partition table
// behind a protective MBR, plus the rules that turn a text or a size into a file-system name.
#include "device/partition_table.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <set>
#include <span>

#include "common/bytes.h"
#include "common/text.h"

namespace snapmend::device {

namespace {

// MBR and EBR layout: four 16-byte entries from offset 446, the 0x55 0xAA marker at 510.
constexpr std::size_t kEntryTable = 446;
constexpr std::size_t kEntrySize = 16;
constexpr std::size_t kEntryType = 4;
constexpr std::size_t kEntryLba = 8;
constexpr std::size_t kEntryCount = 12;

// A primary partition that starts this close to the end of the disk (12 MiB) ends the walk.
constexpr std::uint64_t kMinSectorsAfterPrimary = 0x6000;

// GUID partition entries: 128 bytes each, four to a sector, read from sector 2 through 33.
constexpr std::uint64_t kLastGuidEntrySector = 33;
constexpr std::size_t kGuidEntrySize = 128;
constexpr std::size_t kGuidTypeOffset = 0;
constexpr std::size_t kGuidStartOffset = 32;
constexpr std::size_t kGuidEndOffset = 40;

// Microsoft reserved partition type E3C9E316-0B5C-4DB8-817D-F92DF00215AE as stored on disk: the
// first three groups are little-endian, the last two are kept in text order.
constexpr std::array<std::uint8_t, 16> kMsReservedTypeOnDisk = {
    0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D, 0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};

// Sector counts of the size guess: 35 GiB and 1 MiB.
constexpr std::uint64_t kNtfsGuessSectors = (std::uint64_t{1} << 21) * 35;
constexpr std::uint64_t kFat32GuessSectors = 2048;

struct MbrEntry {
    std::uint8_t type = 0;
    std::uint32_t lba = 0;
    std::uint32_t count = 0;
};

template <std::size_t I>
MbrEntry mbrEntryAt(SectorView s) {
    constexpr std::size_t base = kEntryTable + kEntrySize * I;
    return {le8At<base + kEntryType>(s), le32At<base + kEntryLba>(s), le32At<base + kEntryCount>(s)};
}

std::array<MbrEntry, 4> mbrEntries(SectorView s) {
    return {mbrEntryAt<0>(s), mbrEntryAt<1>(s), mbrEntryAt<2>(s), mbrEntryAt<3>(s)};
}

bool hasTableMarker(SectorView s) { return le8At<510>(s) == 0x55 && le8At<511>(s) == 0xAA; }

struct GuidEntry {
    bool msReserved = false;
    std::uint64_t startLba = 0;
    std::uint64_t endLba = 0;
};

template <std::size_t I>
GuidEntry guidEntryAt(SectorView s) {
    constexpr std::size_t base = kGuidEntrySize * I;
    GuidEntry e;
    e.msReserved = true;
    for (std::size_t b = 0; b < kMsReservedTypeOnDisk.size(); ++b)
        if (u8(s[base + kGuidTypeOffset + b]) != kMsReservedTypeOnDisk[b]) e.msReserved = false;
    e.startLba = le64At<base + kGuidStartOffset>(s);
    e.endLba = le64At<base + kGuidEndOffset>(s);
    return e;
}

std::array<GuidEntry, 4> guidEntries(SectorView s) {
    return {guidEntryAt<0>(s), guidEntryAt<1>(s), guidEntryAt<2>(s), guidEntryAt<3>(s)};
}

bool isExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F; }

bool hasGuidHeader(SectorView s) { return ByteReader{Bytes(s)}.matches(0, "EFI"); }

std::string_view typeCodeFs(std::uint8_t type) {
    switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x0E: return "FAT16";
    case 0x0B: case 0x0C: return "FAT32";
    case 0x07: return "NTFS";
    default: return {};
    }
}

// The state one walk shares between the MBR, EBR and GUID parts.
class Walk {
public:
    Walk(const DeviceMap& devices, int disk, ItemTree& tree, ItemId parent, std::uint64_t diskSectorCount,
         DiskPartitions& entry, PartitionWalkNotes& notes)
        : m_devices(devices), m_path(DevicePathTable[static_cast<std::size_t>(disk)]), m_tree(tree),
          m_parent(parent), m_sectors(diskSectorCount), m_entry(entry), m_notes(notes) {}

    std::uint64_t diskSectors() const { return m_sectors; }

    // Reads one sector into buf. The buffer is cleared first, so a failed read never leaves an
    // earlier sector's signature in it, and nothing at or past the disk's end is asked for.
    bool read(std::uint64_t sector, Sector& buf) const {
        buf.fill(std::byte{0});
        if (sector >= m_sectors) return false;
        return m_devices.readSectors(m_path, sector, 1, buf);
    }

    void note(std::string text) { m_notes.notes.push_back(std::move(text)); }

    // Records one partition; false once the disk's table is full (the walk then stops).
    bool record(std::string_view fs, std::uint64_t start, std::uint64_t end, bool endInclusive) {
        const std::uint32_t k = m_entry.partitionCount;
        if (k >= kMaxPartitionsPerDisk) {
            if (!m_full)
                note("more than " + decimal(kMaxPartitionsPerDisk) +
                     " partitions found; the partition at sector " + decimal(start) +
                     " and any after it are not listed");
            m_full = true;
            return false;
        }
        m_entry.partitionFs[k] = std::string(fs);
        PartitionSlot& slot = m_entry.slots[k];
        slot.index = k;
        ++m_entry.partitionCount;
        slot.treeItem = addPartitionItem(m_tree, partitionLabel(k, fs), m_parent);
        slot.startSector = start;
        slot.endSector = end;
        slot.endInclusive = endInclusive;
        return true;
    }

private:
    const DeviceMap& m_devices;
    const std::string& m_path;
    ItemTree& m_tree;
    ItemId m_parent;
    std::uint64_t m_sectors;
    DiskPartitions& m_entry;
    PartitionWalkNotes& m_notes;
    bool m_full = false;
};

bool validDisk(int disk) { return disk >= 0 && disk < kMaxDisks; }

std::uint64_t deviceSectors(const DeviceMap& devices, int disk) {
    const AttachedDisk* d = devices.disk(disk);
    return d ? d->sizeBytes >> kSectorShift : 0;
}

void walkGuid(Walk& walk, std::uint64_t firstEntrySector) {
    Sector table{};
    Sector boot{};
    for (std::uint64_t s = firstEntrySector; s <= kLastGuidEntrySector; ++s) {
        if (!walk.read(s, table)) {
            walk.note("GUID partition entries at sector " + decimal(s) + " could not be read; walk stopped");
            return;
        }
        for (const GuidEntry& e : guidEntries(table)) {
            if (e.msReserved) continue;
            // An ending LBA of 0 marks the end of the used entries.
            if (e.endLba == 0) return;
            if (e.startLba >= walk.diskSectors()) {
                walk.note("GUID partition at sector " + decimal(e.startLba) +
                          " starts beyond the end of the disk; not listed");
                continue;
            }
            if (!walk.read(e.startLba, boot)) {
                walk.note("boot sector at sector " + decimal(e.startLba) + " could not be read");
                continue;
            }
            const std::string_view fs = bootSignatureFs(boot);
            if (fs.empty()) continue;
            if (!walk.record(fs, e.startLba, e.endLba, true)) return;
        }
    }
}

// Follows the extended boot records from extendedBase. Each record's link entry is relative to
// the extended base; each logical partition is relative to its own record.
void walkExtendedChain(Walk& walk, std::uint64_t extendedBase) {
    Sector ebr{};
    Sector boot{};
    std::set<std::uint64_t> visited;
    std::uint64_t linkOffset = 0;
    for (;;) {
        const std::uint64_t ebrSector = extendedBase + linkOffset;
        if (visited.size() >= kMaxExtendedBootRecords) {
            walk.note("extended partition chain is longer than " + decimal(kMaxExtendedBootRecords) +
                      " records; walk stopped at sector " + decimal(ebrSector));
            return;
        }
        if (!visited.insert(ebrSector).second) {
            walk.note("extended partition chain loops back to sector " + decimal(ebrSector) + "; walk stopped");
            return;
        }
        if (ebrSector >= walk.diskSectors()) {
            walk.note("extended boot record at sector " + decimal(ebrSector) +
                      " lies beyond the end of the disk; walk stopped");
            return;
        }
        if (!walk.read(ebrSector, ebr)) {
            walk.note("extended boot record at sector " + decimal(ebrSector) + " could not be read; walk stopped");
            return;
        }
        const auto entries = mbrEntries(ebr);
        bool linked = false;
        // Only the first two entries of an extended boot record are used.
        for (std::size_t i = 0; i < 2; ++i) {
            const MbrEntry& e = entries[i];
            if (e.type == 0) continue;
            if (isExtendedType(e.type)) {
                linkOffset = e.lba;
                linked = true;
                continue;
            }
            const std::uint64_t start = ebrSector + e.lba;
            const std::uint64_t end = start + e.count;
            std::string_view fs;
            if (start >= walk.diskSectors()) {
                walk.note("logical partition at sector " + decimal(start) + " starts beyond the end of the disk");
                boot.fill(std::byte{0});
            } else if (!walk.read(start, boot)) {
                walk.note("boot sector at sector " + decimal(start) + " could not be read");
            }
            fs = bootSignatureFs(boot);
            if (fs.empty()) fs = typeCodeFs(e.type);
            if (fs.empty()) continue;
            if (!walk.record(fs, start, end, false)) return;
        }
        if (!linked) return;
    }
}

} // namespace

std::string_view bootSignatureFs(std::span<const std::byte, kSectorSize> s) {
    const ByteReader r{Bytes(s)};
    if (r.matches(82, "FAT32")) return "FAT32";
    if (r.matches(54, "FAT16")) return "FAT16";
    if (r.matches(3, "NTFS")) return "NTFS";
    return {};
}

std::string partitionLabel(std::uint32_t slotIndex, std::string_view fileSystem) {
    return "Partition - " + decimal(static_cast<std::uint64_t>(slotIndex) + 1) + " ( " + std::string(fileSystem) +
           " )";
}

ItemId addPartitionItem(ItemTree& tree, std::string label, ItemId parent) {
    const ItemId id = tree.insert(parent, std::move(label), kPartitionImage);
    tree.expand(parent);
    return id;
}

PartitionWalkNotes walkPartitionTable(const DeviceMap& devices, int currentDisk, ItemTree& tree, ItemId parent,
                                      std::uint64_t tableSector, std::uint64_t diskSectorCount,
                                      DiskPartitions& entry) {
    PartitionWalkNotes notes;
    if (!validDisk(currentDisk)) {
        notes.notes.push_back("disk number " + decimal(currentDisk) + " is out of range; nothing walked");
        return notes;
    }
    Walk walk(devices, currentDisk, tree, parent, diskSectorCount, entry, notes);

    Sector mbr{};
    if (!walk.read(tableSector, mbr)) {
        walk.note("partition table at sector " + decimal(tableSector) + " could not be read");
        return notes;
    }
    if (!hasTableMarker(mbr)) {
        walk.note("no partition table marker (55 AA) at sector " + decimal(tableSector));
        return notes;
    }

    Sector boot{};
    bool haveExtended = false;
    std::uint64_t extendedBase = 0;
    const auto entries = mbrEntries(mbr);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const MbrEntry& e = entries[i];
        if (e.type == 0) continue;
        if (e.lba > diskSectorCount || diskSectorCount - e.lba < kMinSectorsAfterPrimary) {
            walk.note("partition entry " + decimal(static_cast<std::uint64_t>(i) + 1) + " starts at sector " +
                      decimal(e.lba) + ", within the last " + decimal(kMinSectorsAfterPrimary) +
                      " sectors of the disk; walk stopped");
            return notes;
        }
        // An extended entry is a container, never a partition of its own; a later one replaces
        // an earlier one.
        if (isExtendedType(e.type)) {
            haveExtended = true;
            extendedBase = e.lba;
            continue;
        }
        if (!walk.read(e.lba, boot))
            walk.note("boot sector at sector " + decimal(e.lba) + " could not be read");
        std::string_view fs = bootSignatureFs(boot);
        if (fs.empty() && hasGuidHeader(boot)) {
            walkGuid(walk, 2);
            return notes;
        }
        if (fs.empty()) fs = typeCodeFs(e.type);
        if (fs.empty()) continue;
        const std::uint64_t start = e.lba;
        const std::uint64_t end = start + e.count;
        if (!walk.record(fs, start, end, false)) return notes;
    }
    if (haveExtended) walkExtendedChain(walk, extendedBase);
    return notes;
}

void walkGuidTable(const DeviceMap& devices, int currentDisk, ItemTree& tree, ItemId parent,
                   std::uint64_t firstEntrySector, DiskPartitions& entry, PartitionWalkNotes& notes,
                   std::uint64_t diskSectorCount) {
    if (!validDisk(currentDisk)) {
        notes.notes.push_back("disk number " + decimal(currentDisk) + " is out of range; nothing walked");
        return;
    }
    if (diskSectorCount == kUnknownSectorCount) diskSectorCount = deviceSectors(devices, currentDisk);
    Walk walk(devices, currentDisk, tree, parent, diskSectorCount, entry, notes);
    walkGuid(walk, firstEntrySector);
}

std::string normaliseFsName(std::string_view text) {
    const std::string t = trim(text);
    if (contains(t, "FAT16") || t == "FAT") return "FAT16";
    if (contains(t, "FAT32")) return "FAT32";
    if (contains(t, "NTFS")) return "NTFS";
    return "Unknown";
}

std::string guessFsBySize(std::uint64_t startSector, std::uint64_t endSector) {
    // A range that ends before it starts is empty, not a huge unsigned difference.
    const std::uint64_t n = endSector > startSector ? endSector - startSector : 0;
    if (n >= kNtfsGuessSectors) return "NTFS";
    if (n >= kFat32GuessSectors) return "FAT32";
    return "Unknown";
}

std::vector<std::string> deepNtfsVolumeColumns() {
    return {"Drive", "Part", "St_Sec", "End_Sec", "Clus0", "Drive_E_Sec"};
}

void appendDeepNtfsVolumeRows(WorkTable& deepNtfsVolumeList, int disk, std::size_t diskChildItems,
                              const DiskPartitions& entry, std::uint64_t diskTotalSectors) {
    // A disk item can carry more children than there are slots; rows stop at the last slot.
    const std::size_t rows =
        std::min(std::max(diskChildItems, static_cast<std::size_t>(entry.partitionCount)), kPartitionSlots);
    for (std::size_t k = 0; k < rows; ++k) {
        const PartitionSlot& slot = entry.slots[k];
        deepNtfsVolumeList.append({decimal(disk), decimal(static_cast<std::uint64_t>(deepNtfsVolumeList.rowCount() + 1)),
                                   decimal(slot.startSector), decimal(std::min(slot.endSector, diskTotalSectors)),
                                   decimal(slot.startSector), decimal(diskTotalSectors)});
    }
}

} // namespace snapmend::device
