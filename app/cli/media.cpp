#include "app/cli/media.h"

#include <array>

#include "app/cli/command.h"
#include "common/bytes.h"
#include "common/item_tree.h"
#include "common/text.h"
#include "device/partition_table.h"

namespace snapmend::cli {

std::string bootSectorFileSystem(const device::DeviceMap& devices, const std::string& path, std::uint64_t sector) {
    std::array<std::byte, device::kSectorSize> buf{};
    if (!devices.readSectors(path, sector, 1, buf)) return {};
    const ByteReader r{Bytes(buf)};
    if (r.le8(510) != 0x55 || r.le8(511) != 0xAA) return {};
    return std::string(device::bootSignatureFs(buf));
}

std::optional<ChosenTarget> chooseTarget(device::DeviceMap& devices, const TargetChoice& choice, std::string_view mode,
                                         ChooseFailure& failure) {
    if (choice.forceVolume && choice.partition) throw UsageError("--partition and --volume exclude each other");

    // Probe sector 0 first: a volume image has a boot sector there, not a partition table.
    bool asVolume = choice.forceVolume;
    if (!asVolume && !choice.partition) {
        device::DeviceMap probe;
        const auto attached = probe.attachDisk(choice.image);
        if (!attached) {
            failure = {kExitUsage, attached.error().detail};
            return std::nullopt;
        }
        asVolume = !bootSectorFileSystem(probe, device::DevicePathTable[0], 0).empty();
    }

    ChosenTarget chosen;
    device::TargetSelection sel;
    if (asVolume) {
        const auto letter = devices.attachVolume(choice.image);
        if (!letter) {
            failure = {kExitUsage, letter.error().detail};
            return std::nullopt;
        }
        const auto* vol = devices.volume(*letter);
        chosen.logicalDevicePath = device::logicalDrivePath(*letter);
        sel.kind = std::string(device::kKindLogical);
        sel.diskIndex = vol->disk;
        sel.fileSystemText = bootSectorFileSystem(devices, chosen.logicalDevicePath, 0);
        sel.start = 0;
        sel.end = vol->sectorCount;
        sel.diskTotalSectors = devices.disk(vol->disk)->sizeBytes / device::kSectorSize;
        sel.volumeOnDisk = device::VolumeOnDisk{vol->disk, vol->firstSector, vol->firstSector + vol->sectorCount, false};
        sel.logicalDevicePath = chosen.logicalDevicePath;
        chosen.description = "volume " + chosen.logicalDevicePath.substr(4) + " (" + choice.image + ")";
    } else {
        const auto disk = devices.attachDisk(choice.image);
        if (!disk) {
            failure = {kExitUsage, disk.error().detail};
            return std::nullopt;
        }
        const std::uint64_t sectors = devices.disk(*disk)->sizeBytes / device::kSectorSize;
        ItemTree tree;
        const ItemId diskItem = tree.insert(kNoItem, "Disk");
        device::DiskPartitions entry;
        (void)device::walkPartitionTable(devices, *disk, tree, diskItem, 0, sectors, entry);
        if (entry.partitionCount == 0) {
            failure = {kExitFailure, "the file system of " + choice.image +
                                         " is unknown: no FAT16, FAT32 or NTFS partition or volume was found"};
            return std::nullopt;
        }
        const unsigned long n = choice.partition.value_or(1);
        if (n > entry.partitionCount)
            throw UsageError("there is no partition " + std::to_string(n) + " on " + choice.image + " (it has " +
                             std::to_string(entry.partitionCount) + ")");
        const auto& slot = entry.slots[n - 1];
        sel.kind = std::string(device::kKindPartition);
        sel.diskIndex = *disk;
        sel.partitionIndex = static_cast<std::uint32_t>(n - 1);
        sel.fileSystemText = entry.partitionFs[n - 1];
        sel.start = slot.startSector;
        sel.end = slot.endSector;
        sel.diskTotalSectors = sectors;
        chosen.description = tree.label(slot.treeItem) + " of " + choice.image;
    }

    const auto outcome = device::setTargetFromSelection(chosen.state, sel, mode);
    if (!outcome) {
        failure = {kExitFailure, outcome.error().detail};
        return std::nullopt;
    }
    chosen.rangeText = outcome->noticePrefix + outcome->rangeText;
    chosen.selection = std::move(sel);
    return chosen;
}

} // namespace snapmend::cli
