// Drive enumeration: builds the drive tree from the machine's description of its disks and drives,
// and answers what selecting an item shows and targets.
#include "device/drive_enum.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

#include "common/bytes.h"
#include "common/text.h"

namespace snapmend::device {

namespace {

// Disk numbers 0 to 24 are tried.
constexpr int kDisksTried = 25;


// GUID partition table header fields (sector 1) used by the dynamic-disk test.
constexpr std::size_t kGptEntriesLba = 72;
constexpr std::size_t kGptEntryCount = 80;
constexpr std::size_t kGptEntrySize = 84;
// Entries looked at per disk; a real table holds 128. Stops a crafted header from making the test
// read the disk entry by entry.
constexpr std::uint32_t kMaxGptEntriesTested = 1024;
constexpr std::uint32_t kMaxGptEntrySize = 4096;

// LDM data partition AF9B60A0-1431-4F62-BC68-3311714A69AD as stored (first three groups little-endian).
constexpr std::array<std::uint8_t, 16> kLdmDataTypeOnDisk = {0xA0, 0x60, 0x9B, 0xAF, 0x31, 0x14, 0x62, 0x4F,
                                                             0xBC, 0x68, 0x33, 0x11, 0x71, 0x4A, 0x69, 0xAD};
constexpr std::uint8_t kDynamicMbrType = 0x42;
constexpr std::uint8_t kProtectiveMbrType = 0xEE;

std::string hex32(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", v);
    return buf;
}

// cylinders x heads x sectors x bytes, or nullopt when it does not fit 64 bits.
std::optional<std::uint64_t> geometryBytes(const PhysicalDiskInfo& d) {
    std::uint64_t v = d.cylinders;
    for (const std::uint64_t f : {std::uint64_t{d.tracksPerCylinder}, std::uint64_t{d.sectorsPerTrack},
                                  std::uint64_t{d.bytesPerSector}}) {
        if (f != 0 && v > std::numeric_limits<std::uint64_t>::max() / f) return std::nullopt;
        v *= f;
    }
    return v;
}

std::uint32_t saturate32(std::uint64_t v) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

std::uint64_t deviceSectors(const DeviceMap& devices, int disk) {
    const AttachedDisk* d = devices.disk(disk);
    return d ? d->sizeBytes >> kSectorShift : 0;
}

bool gptHasLdmEntry(const DeviceMap& devices, const std::string& path, std::uint64_t sectors) {
    Sector header{};
    if (sectors < 2 || !devices.readSectors(path, 1, 1, header)) return false;
    const ByteReader h{Bytes(header)};
    if (!h.matches(0, "EFI PART")) return false;
    const std::uint64_t firstLba = *h.le64(kGptEntriesLba);
    const std::uint32_t count = std::min(*h.le32(kGptEntryCount), kMaxGptEntriesTested);
    const std::uint32_t size = *h.le32(kGptEntrySize);
    if (size < 128 || size % 128 != 0 || size > kMaxGptEntrySize) return false;
    const std::uint64_t perSector = kSectorSize >= size ? kSectorSize / size : 0;
    Sector s{};
    std::vector<std::byte> entry(size);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t byteOffset = static_cast<std::uint64_t>(i) * size;
        const std::uint64_t sector = firstLba + byteOffset / kSectorSize;
        if (sector >= sectors) return false;
        if (perSector != 0) {
            if (byteOffset % kSectorSize == 0 && !devices.readSectors(path, sector, 1, s)) return false;
            std::copy_n(s.begin() + static_cast<std::ptrdiff_t>(byteOffset % kSectorSize), 16, entry.begin());
        } else if (!devices.readSectors(path, sector, static_cast<std::uint32_t>(size / kSectorSize), entry)) {
            return false;
        }
        bool ldm = true;
        for (std::size_t b = 0; b < kLdmDataTypeOnDisk.size(); ++b)
            if (u8(entry[b]) != kLdmDataTypeOnDisk[b]) ldm = false;
        if (ldm) return true;
    }
    return false;
}

TargetSelection diskTarget(const DriveList& list, ItemId item, const DriveItemRecord& rec) {
    TargetSelection t;
    t.kind = std::string(kKindHardDisk);
    t.diskIndex = diskNumberFromLabel(rec.label);
    for (const ItemId c : list.tree.children(item)) t.partitionLabels.push_back(list.tree.label(c));
    t.start = 63;
    t.end = parseU64(rec.sectors);
    t.diskTotalSectors = t.end;
    return t;
}

} // namespace

std::string formatSize(std::uint64_t bytes) {
    char buf[64];
    if (bytes < 1024) {
        std::snprintf(buf, sizeof buf, "%u Byte", static_cast<unsigned>(bytes));
        return buf;
    }
    static constexpr char kUnits[] = "KMGTPEZY";
    constexpr std::uint64_t kStep = std::uint64_t{1} << 20;
    int unit = 0;
    std::uint64_t v = bytes;
    while (v >= kStep) {
        // (v + 512) / 1024 without the sum overflowing near 2^64.
        v = v / 1024 + (v % 1024 >= 512 ? 1 : 0);
        if (++unit >= 9) return "Unknown Size";
    }
    if (unit >= 8) return "Unknown Size";
    std::snprintf(buf, sizeof buf, "%6.2f %cB", static_cast<double>(v) / 1024.0, kUnits[unit]);
    return buf;
}

std::string busName(int busType) {
    static constexpr std::array<std::string_view, 14> kNames = {
        "UNKNOWN", "SCSI", "ATAPI", "ATA", "IEEE 1394", "SSA", "FIBRE", "USB", "RAID", "iSCSI", "SAS", "SATA",
        "Reserved", ""};
    if (busType < 0 || busType >= static_cast<int>(kNames.size())) return "UNKNOWN";
    return std::string(kNames[static_cast<std::size_t>(busType)]);
}

std::string mediaTypeText(int mediaType, std::string_view bus) {
    if (mediaType == kRemovableMediaType) return std::string(kRemovableMedia);
    if (mediaType == kFixedMediaType) return bus == "USB" ? "External hard disk media" : "Fixed hard disk media";
    return {};
}

const DriveItemRecord* DriveList::record(ItemId item) const {
    if (!tree.valid(item)) return nullptr;
    const std::uint64_t data = tree.item(item).data;
    if (data == 0 || data > records.size()) return nullptr;
    return &records[static_cast<std::size_t>(data - 1)];
}

ItemId DriveList::attach(ItemId item, DriveItemRecord rec) {
    records.push_back(std::move(rec));
    tree.item(item).data = records.size();
    return item;
}

void resetDriveList(DriveList& list) {
    list.tree.clear();
    list.records.clear();
    list.itemColors.clear();
    for (auto& p : list.partitions) p.reset();
    list.logDriveTable.clear();
    list.diskIdentityTable.clear();
    list.mediaList.clear();
    list.pendingSearch.clear();
    list.notes.clear();
    list.currentSizeMiB = 0;
    list.currentDisk = 0;
    list.logicalDevicePath.clear();
    list.lastListedSectors = 0;
    list.root = list.tree.insert(kNoItem, std::string(kMyComputer), kComputerImage);
    list.physicalGroup = list.tree.insert(list.root, std::string(kPhysicalDrives), kDiskImage);
    list.logicalGroup = list.tree.insert(list.root, std::string(kLogicalDrives), kLogicalGroupImage);
}

int diskNumberFromLabel(std::string_view label) {
    const auto at = label.find("(Disk");
    if (at == std::string_view::npos) return -1;
    std::string_view rest = label.substr(at + 5);
    rest = rest.substr(0, rest.find('-'));
    const std::string digits = trim(rest);
    if (digits.empty() || digits.size() > 4 || !std::all_of(digits.begin(), digits.end(), [](char c) {
            return c >= '0' && c <= '9';
        }))
        return -1;
    return static_cast<int>(parseU64(digits));
}

void listPhysicalDisks(const DeviceMap& devices, const MachineDrives& machine, std::string_view mode,
                       DriveList& list) {
    for (int n = 0; n < kDisksTried; ++n) {
        const auto it = std::find_if(machine.disks.begin(), machine.disks.end(),
                                     [n](const PhysicalDiskInfo& d) { return d.number == n; });
        if (it == machine.disks.end() || !it->geometryKnown) continue;
        const PhysicalDiskInfo& info = *it;
        const auto size = geometryBytes(info);
        if (!size) {
            list.notes.push_back("disk " + decimal(n) + " reports a geometry larger than 64 bits can hold; not listed");
            continue;
        }
        const std::string bus = trim(info.bus);
        std::string model = info.product;
        if (!trim(info.vendor).empty()) model = info.vendor + " " + info.product;
        model = trim(model) + " " + bus + " Device";
        const std::string media = mediaTypeText(info.mediaType, bus);
        const std::string sizeText = trim(formatSize(*size));
        const std::string label = media + " (Disk" + decimal(n) + " - " + sizeText + ")";
        list.mediaList.push_back(decimal(n));
        list.mediaList.push_back(media);
        if (!contains(media, "Removable") || label.size() <= 8) continue;

        const std::uint64_t totalSectors = std::max(*size, info.mediumBytes) / kSectorSize;
        list.currentSizeMiB = *size >> 20;
        list.currentDisk = diskNumberFromLabel(label);

        DriveItemRecord rec;
        rec.label = label;
        rec.kindText = media;
        rec.mode = std::string(mode);
        rec.diskNumberText = decimal(n);
        rec.diskName = "Disk" + decimal(n);
        rec.model = model;
        rec.sizeAndMedia = media.empty() ? sizeText : sizeText + " - " + media;
        rec.modelRow = model;
        rec.mediaTypeRow = media;
        rec.busNameRow = bus;
        rec.capacity = sizeText;
        rec.cylinders = decimal(info.cylinders);
        rec.heads = decimal(info.tracksPerCylinder);
        rec.sectors = decimal(totalSectors);
        rec.bytesPerSector = decimal(info.bytesPerSector);
        rec.sectorsPerTrack = decimal(info.sectorsPerTrack);
        rec.revision = info.revision;
        rec.serial = info.serial;
        rec.computerName = machine.computerName;
        rec.physicalDeviceId = physicalDrivePath(n);
        rec.sizeMiB = *size >> 20;

        const ItemId item = list.tree.insert(list.physicalGroup, label, kDiskImage);
        list.tree.expand(list.physicalGroup);
        list.tree.sortChildren(list.physicalGroup);
        list.attach(item, std::move(rec));

        // The geometry rounds the size down to whole cylinders; an image may also be shorter
        // than its described geometry. Reads never go past either.
        const std::uint64_t walkSectors = std::min(totalSectors, deviceSectors(devices, n));
        auto walked = walkPartitionTable(devices, n, list.tree, item, 0, walkSectors,
                                         list.partitions[static_cast<std::size_t>(n)]);
        for (auto& note : walked.notes) list.notes.push_back("disk " + decimal(n) + ": " + note);
        if (!list.tree.hasChildren(item))
            list.pendingSearch.push_back({saturate32(info.cylinders), info.tracksPerCylinder, info.sectorsPerTrack,
                                          item, totalSectors, physicalDrivePath(n)});
        list.diskIdentityTable.push_back(model + "||" + sizeText + "||" + decimal(totalSectors) + "||" + decimal(n));
    }
}

void listLogicalDrives(const DeviceMap& devices, const MachineDrives& machine, std::string_view mode,
                       std::string_view filter, DriveList& list) {
    std::vector<const LogicalDriveInfo*> drives;
    for (const auto& d : machine.drives)
        if (d.letter >= 'A' && d.letter <= 'Z') drives.push_back(&d);
    std::stable_sort(drives.begin(), drives.end(),
                     [](const LogicalDriveInfo* a, const LogicalDriveInfo* b) { return a->letter < b->letter; });
    for (const LogicalDriveInfo* d : drives) {
        if (filter != "ALL" && !filter.empty() && filter.front() == d->letter) continue;
        if (!d->removable) continue;
        const std::string fs = d->fileSystem.empty() ? "Unknown" : d->fileSystem;
        std::uint64_t total = d->totalBytes;
        std::string freeText;
        if (d->spaceKnown) {
            if (d->freeBytes != 0) freeText = trim(formatSize(d->freeBytes));
        } else {
            freeText = "Unknown Size ";
            total = 0;
        }
        if (contains(d->dosDevice, "Device\\Floppy")) continue;

        const std::string path = logicalDrivePath(d->letter);
        const std::uint64_t sectors = total / kSectorSize;
        list.logicalDevicePath = path;
        list.lastListedSectors = sectors;
        list.logDriveTable.push_back(path + "|" + decimal(sectors));

        const std::string sizeText = total != 0 ? trim(formatSize(total)) : "Unknown Size ";
        const std::string volume = std::string(1, d->letter) + ":";
        const std::string label = volume + "\\ (" + sizeText + " - " + d->label + " - " + fs + ")";
        const VolumeOnDisk onDisk = volumeToDisk(devices, volume);

        DriveItemRecord rec;
        rec.kindText = std::string(kLogicalDrives);
        rec.mode = std::string(mode);
        rec.startSector = "0";
        rec.endSector = decimal(sectors);
        rec.fileSystem = fs;
        rec.volume = volume;
        rec.volumeLabel = d->label;
        rec.totalSizeText = sizeText;
        rec.freeSpaceText = freeText;
        rec.serialText = hex32(d->serial);
        rec.currentSizeMiB = list.currentSizeMiB;
        rec.totalBytes = total;
        rec.diskNumber = onDisk.disk;
        rec.dynamicDisk = onDisk.dynamic ? 1 : 0;
        rec.firstSectorOnDisk = onDisk.firstSector;
        rec.endSectorOnDisk = onDisk.endSector;
        const ItemId item = list.tree.insert(list.logicalGroup, label, kDriveImage);
        list.attach(item, std::move(rec));
    }
}

void listDrives(const DeviceMap& devices, const MachineDrives& machine, std::string_view mode, DriveList& list) {
    resetDriveList(list);
    listPhysicalDisks(devices, machine, mode, list);
    listLogicalDrives(devices, machine, mode, "ALL", list);
}

bool isDynamicDisk(const DeviceMap& devices, int disk) {
    const AttachedDisk* d = devices.disk(disk);
    // A volume image starts with a boot sector: its code bytes are no partition table.
    if (!d || d->volumeOnly) return false;
    const std::string path = physicalDrivePath(disk);
    Sector mbr{};
    if (!devices.readSectors(path, 0, 1, mbr)) return false;
    const ByteReader r{Bytes(mbr)};
    if (r.le8(510) != 0x55 || r.le8(511) != 0xAA) return false;
    bool protective = false;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint8_t type = *r.le8(446 + 16 * i + 4);
        if (type == kDynamicMbrType) return true;
        if (type == kProtectiveMbrType) protective = true;
    }
    return protective && gptHasLdmEntry(devices, path, d->sizeBytes >> kSectorShift);
}

VolumeOnDisk volumeToDisk(const DeviceMap& devices, std::string_view volume) {
    if (volume.empty()) return {};
    const auto letter = volumeLetterOf(std::string("\\\\.\\") + volume.front() + ":");
    if (!letter) return {};
    const AttachedVolume* v = devices.volume(*letter);
    if (!v) return {};
    VolumeOnDisk out;
    out.disk = v->disk;
    out.firstSector = v->firstSector;
    out.endSector = v->firstSector + v->sectorCount;
    out.dynamic = isDynamicDisk(devices, v->disk);
    return out;
}

std::vector<PropertyRow> showDiskProperties(const DriveItemRecord& r) {
    return {{"1. Model :", r.modelRow},
            {"2. MediaType :", r.mediaTypeRow},
            {"3. Interface Type :", r.busNameRow},
            {"4. Capacity(size) :", r.capacity},
            {"5. Cylinders :", r.cylinders},
            {"6. Heads :", r.heads},
            {"7. Sectors :", r.sectors},
            {"8. Bytes per Sector :", r.bytesPerSector},
            {"9. Sector per Track :", r.sectorsPerTrack},
            {"10. Firmware Revision ID :", r.revision},
            {"11. Serial Number :", r.serial},
            {"12. System Name :", r.computerName},
            {"13. Physical Device ID :", r.physicalDeviceId}};
}

std::vector<PropertyRow> showVolumeProperties(const DriveItemRecord& r) {
    return {{"1. Start Sector :", "0"},        {"2. End Sector : ", r.endSector},
            {"3. Partition Type : ", r.fileSystem}, {"4. Volume : ", r.volume},
            {"5. Label : ", r.volumeLabel},    {"6. Size : ", r.totalSizeText},
            {"7. Free Space : ", r.freeSpaceText}, {"8. Search Mode : ", r.mode},
            {"9. Serial Number : ", r.serialText}};
}

std::vector<PropertyRow> partitionProperties(int disk, std::uint32_t k, const DiskPartitions& entry,
                                             std::string_view mode) {
    if (k >= entry.partitionCount || k >= kMaxPartitionsPerDisk) return {};
    const PartitionSlot& s = entry.slots[k];
    const std::uint64_t sectors = s.endSector > s.startSector ? s.endSector - s.startSector : 0;
    return {{"1. Disk Number : ", decimal(disk)},
            {"2. Partition Number : ", decimal(static_cast<std::uint64_t>(k) + 1)},
            {"3. Partition Type : ", entry.partitionFs[k]},
            {"4. Search Mode : ", std::string(mode)},
            {"5. Start Sector : ", decimal(s.startSector)},
            {"6. End Sector : ", decimal(s.endSector)},
            {"7. Size : ", trim(formatSize(sectors << kSectorShift))}};
}

DriveSelection selectDriveItem(const DeviceMap& devices, const DriveList& list, ItemId item, std::string_view mode) {
    DriveSelection sel;
    if (!list.tree.valid(item)) return sel;
    const ItemTree& tree = list.tree;
    const std::string& label = tree.label(item);
    const int depth = tree.depth(item);
    const ItemId parent = tree.parent(item);

    if (label == kPhysicalDrives && depth == 1) {
        sel.targetKind = label;
        for (const ItemId c : tree.children(item))
            if (const auto* r = list.record(c)) sel.properties.push_back({r->diskNumberText, tree.label(c)});
        return sel;
    }
    if ((label == kLogicalDrives && depth == 1) || (label == kMyComputer && depth == 0)) {
        sel.targetKind = label;
        sel.hint = std::string(kSelectDriveHint);
        return sel;
    }
    if (depth == 2 && parent == list.physicalGroup) {
        const auto* r = list.record(item);
        if (!r) return sel;
        sel.targetKind = std::string(kKindHardDisk);
        sel.rememberedDisk = diskNumberFromLabel(label);
        sel.properties = showDiskProperties(*r);
        sel.target = diskTarget(list, item, *r);
        return sel;
    }
    if (depth == 2 && parent == list.logicalGroup) {
        const auto* r = list.record(item);
        if (!r) return sel;
        sel.targetKind = std::string(kKindLogical);
        sel.rememberedDisk = static_cast<unsigned char>(label.front());
        sel.logicalDevicePath = logicalDrivePath(label.front());
        sel.properties = showVolumeProperties(*r);
        TargetSelection t;
        t.kind = sel.targetKind;
        t.diskIndex = sel.rememberedDisk;
        t.fileSystemText = r->fileSystem;
        t.start = 0;
        t.end = parseU64(r->endSector);
        t.diskTotalSectors = deviceSectors(devices, r->diskNumber);
        t.volumeOnDisk = VolumeOnDisk{r->diskNumber, r->firstSectorOnDisk, r->endSectorOnDisk, r->dynamicDisk != 0};
        t.logicalDevicePath = sel.logicalDevicePath;
        sel.target = t;
        return sel;
    }
    if (depth == 3 && contains(label, "Recognised")) {
        sel.targetKind = "Recognised";
        sel.recognised = true;
        sel.logicalDevicePath = logicalDrivePath(tree.label(parent).empty() ? 'E' : tree.label(parent).front());
        return sel;
    }
    if (depth == 3 && tree.parent(parent) == list.physicalGroup) {
        const int disk = diskNumberFromLabel(tree.label(parent));
        sel.targetKind = std::string(kKindPartition);
        sel.rememberedDisk = disk;
        if (disk < 0 || disk >= kMaxDisks) return sel;
        const DiskPartitions& entry = list.partitions[static_cast<std::size_t>(disk)];
        for (std::uint32_t k = 0; k < entry.partitionCount && k < kMaxPartitionsPerDisk; ++k) {
            if (!tree.valid(entry.slots[k].treeItem) || tree.label(entry.slots[k].treeItem) != label) continue;
            sel.properties = partitionProperties(disk, k, entry, mode);
            TargetSelection t;
            t.kind = sel.targetKind;
            t.diskIndex = disk;
            t.partitionIndex = k;
            t.fileSystemText = entry.partitionFs[k];
            t.start = entry.slots[k].startSector;
            t.end = entry.slots[k].endSector;
            if (const auto* r = list.record(parent)) t.diskTotalSectors = parseU64(r->sectors);
            sel.target = t;
            break;
        }
        return sel;
    }
    return sel;
}

ItemId makeDriveTree(const DeviceMap& devices, const MachineDrives& machine, std::string_view mode,
                     DriveList& list) {
    listDrives(devices, machine, mode, list);
    list.tree.expand(list.root);
    for (const ItemId c : list.tree.children(list.physicalGroup))
        if (contains(list.tree.label(c), kRemovableMedia) && !list.tree.hasChildren(c)) return c;
    return kNoItem;
}

} // namespace snapmend::device
