// snapmend partitions: walks an image's partition tables the way the drive tree does and prints
// the recognised partitions, as text or as JSON.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/cli/command.h"
#include "app/cli/media.h"
#include "app/cli/console_sink.h"
#include "app/cli/interrupt.h"
#include "common/item_tree.h"
#include "common/text.h"
#include "common/work_table.h"
#include "device/device_map.h"
#include "device/drive_enum.h"
#include "device/logical_drive_search.h"
#include "device/media_description.h"
#include "device/partition_search.h"
#include "device/partition_table.h"

namespace snapmend::cli {

namespace {

// Bytes a recorded partition spans; a GUID table entry's end sector is its last sector.
std::uint64_t partitionBytes(const device::PartitionSlot& slot) {
    const std::uint64_t end = slot.endInclusive ? slot.endSector + 1 : slot.endSector;
    if (end <= slot.startSector) return 0;
    return (end - slot.startSector) << device::kSectorShift;
}

// "7.40 GB", "100.00 MB", "512.00 KB" (binary units), or plain bytes below 1 KB.
std::string humanSize(std::uint64_t bytes) {
    constexpr std::uint64_t kKiB = 1024;
    constexpr std::uint64_t kMiB = kKiB * 1024;
    constexpr std::uint64_t kGiB = kMiB * 1024;
    char text[64];
    if (bytes >= kGiB)
        std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / static_cast<double>(kGiB));
    else if (bytes >= kMiB)
        std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / static_cast<double>(kMiB));
    else if (bytes >= kKiB)
        std::snprintf(text, sizeof text, "%.2f KB", static_cast<double>(bytes) / static_cast<double>(kKiB));
    else
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    return text;
}

const device::PartitionSlot& slotOf(const device::DiskPartitions& entry, ItemId item) {
    static const device::PartitionSlot kNone{};
    for (std::uint32_t k = 0; k < entry.partitionCount && k < device::kMaxPartitionsPerDisk; ++k)
        if (entry.slots[k].treeItem == item) return entry.slots[k];
    return kNone;
}

nlohmann::ordered_json searchJson(const device::DriveList& list, int disk, const device::PartitionSearchResult& r) {
    const auto& entry = list.partitions[static_cast<std::size_t>(disk)];
    nlohmann::ordered_json added = nlohmann::ordered_json::array();
    for (const ItemId item : r.added) {
        const auto& slot = slotOf(entry, item);
        added.push_back({{"number", slot.index + 1},
                         {"label", list.tree.label(item)},
                         {"fileSystem", entry.partitionFs[slot.index]},
                         {"startSector", slot.startSector},
                         {"endSector", slot.endSector},
                         {"sizeBytes", partitionBytes(slot)}});
    }
    return {{"found", added},         {"foundCount", r.foundCount},       {"cylindersProbed", r.cylindersProbed},
            {"stopped", r.stopped},   {"selected", r.selectedLabel},      {"message", r.message},
            {"notes", r.notes}};
}

// The logical drive search over a volume image attached as drive E:.
int searchVolume(const std::string& image, bool json) {
    device::DeviceMap devices;
    const auto letter = devices.attachVolume(image);
    if (!letter) {
        std::fprintf(stderr, "snapmend partitions: %s\n", letter.error().detail.c_str());
        return kExitUsage;
    }
    const std::string path = device::logicalDrivePath(*letter);
    const std::uint64_t sectors = devices.volume(*letter)->sectorCount;
    const auto boot = device::readVolumeBootSector(devices, path);
    const std::uint64_t bytes = sectors << device::kSectorShift;
    const std::string label = std::string(1, *letter) + ":\\ (" +
                              (bytes ? trim(device::formatSize(bytes)) : std::string("Unknown Size ")) + " - " +
                              boot.label + " - " + (boot.fileSystem.empty() ? "Unknown" : boot.fileSystem) + ")";
    ItemTree tree;
    const ItemId driveItem = tree.insert(kNoItem, label);
    WorkTable foundFs(device::foundFsColumns());
    device::LogicalSearchRequest request{path, label, driveItem, sectors};

    StopOnInterrupt interrupt;
    ConsoleSink sink(std::nullopt, interrupt.token());
    const auto r = device::searchLogicalDrive(devices, tree, foundFs, request, sink, interrupt.token());
    sink.finishLine();

    if (json) {
        nlohmann::ordered_json rows = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < foundFs.rowCount(); ++i)
            rows.push_back({{"label", tree.label(r.added.at(i))},
                            {"fileSystem", foundFs.cell(i, device::kFfFileSystemName)},
                            {"startSector", foundFs.u64At(i, device::kFfStartSector)},
                            {"endSector", foundFs.u64At(i, device::kFfEndSector)},
                            {"size", foundFs.cell(i, device::kFfSize)}});
        const nlohmann::ordered_json out = {{"image", image},      {"drive", label},          {"sectors", sectors},
                                            {"recognised", rows},  {"stopped", r.stopped},    {"message", r.message}};
        std::printf("%s\n", out.dump(2).c_str());
    } else {
        std::printf("%s: %llu sectors\n", label.c_str(), static_cast<unsigned long long>(sectors));
        if (foundFs.rowCount() != 0)
            std::printf("%-30s %14s %14s\n", "Recognised", "Start sector", "End sector");
        for (std::size_t i = 0; i < foundFs.rowCount(); ++i)
            std::printf("%-30s %14s %14s\n", tree.label(r.added.at(i)).c_str(),
                        foundFs.cell(i, device::kFfStartSector).c_str(), foundFs.cell(i, device::kFfEndSector).c_str());
        if (r.stopped) std::printf("Stopped: the file systems found so far are listed.\n");
        std::printf("%s\n", r.message.c_str());
    }
    return r.stopped ? kExitFailure : kExitOk;
}

} // namespace

int runPartitions(Args& args) {
    const bool json = args.flag("--json");
    const bool search = args.flag("--search");
    const auto volume = args.option("--volume");
    const auto images = args.positionals();
    args.finish();
    if (volume) {
        if (!images.empty()) throw UsageError("--volume takes the IMAGE itself (see 'snapmend partitions --help')");
        if (!search) throw UsageError("--volume is searched with --search (see 'snapmend partitions --help')");
        return searchVolume(*volume, json);
    }
    if (images.size() != 1) throw UsageError("takes exactly one IMAGE (see 'snapmend partitions --help')");
    const std::string& image = images.front();

    device::DeviceMap devices;
    const auto disk = devices.attachDisk(image);
    if (!disk) {
        std::fprintf(stderr, "snapmend partitions: %s\n", disk.error().detail.c_str());
        return kExitUsage;
    }
    const std::uint64_t sectors = devices.disk(*disk)->sizeBytes >> device::kSectorShift;

    device::DriveList list;
    device::resetDriveList(list);
    ItemTree& tree = list.tree;
    const ItemId diskItem = tree.insert(list.physicalGroup, image);
    device::DiskPartitions& entry = list.partitions[static_cast<std::size_t>(*disk)];
    const auto notes = device::walkPartitionTable(devices, *disk, tree, diskItem, 0, sectors, entry);

    // The search may turn the whole disk into a partition: the table is listed as walked.
    const device::DiskPartitions walked = entry;
    std::optional<device::PartitionSearchResult> found;
    if (search) {
        const auto info = device::imageDiskInfo(*disk, devices.disk(*disk)->sizeBytes, {});
        device::PartitionSearchRequest request;
        request.disk = *disk;
        request.devicePath = device::DevicePathTable[static_cast<std::size_t>(*disk)];
        request.diskItem = diskItem;
        request.geometry = {info.cylinders, info.tracksPerCylinder, info.sectorsPerTrack};
        request.diskTotalSectors = sectors;
        request.mode = "Basic Search";
        StopOnInterrupt interrupt;
        ConsoleSink sink(std::nullopt, interrupt.token());
        found = device::partitionSearch(devices, list, request, sink, interrupt.token());
        sink.finishLine();
    }

    if (json) {
        nlohmann::ordered_json partitions = nlohmann::ordered_json::array();
        for (std::uint32_t k = 0; k < walked.partitionCount; ++k) {
            const auto& slot = walked.slots[k];
            partitions.push_back({{"number", k + 1},
                                  {"label", tree.label(slot.treeItem)},
                                  {"fileSystem", walked.partitionFs[k]},
                                  {"startSector", slot.startSector},
                                  {"endSector", slot.endSector},
                                  {"sizeBytes", partitionBytes(slot)}});
        }
        nlohmann::ordered_json out = {
            {"image", image}, {"sectors", sectors}, {"partitions", partitions}, {"notes", notes.notes}};
        if (found) out["search"] = searchJson(list, *disk, *found);
        std::printf("%s\n", out.dump(2).c_str());
        return found && found->stopped ? kExitFailure : kExitOk;
    }

    std::printf("%s: %llu sectors\n", image.c_str(), static_cast<unsigned long long>(sectors));
    if (walked.partitionCount == 0) {
        // Sticks and volume images often carry a file system from sector 0, without a table.
        const std::string volumeFs =
            bootSectorFileSystem(devices, device::DevicePathTable[static_cast<std::size_t>(*disk)], 0);
        if (!volumeFs.empty())
            std::printf("Sector 0 holds a %s boot sector: this is a single volume without a partition table "
                        "(take it whole with --volume).\n",
                        volumeFs.c_str());
        std::printf("No recognised partition was found; the disk can be searched for lost partitions.\n");
    } else {
        std::printf("%-26s %14s %14s %12s\n", "Partition", "Start sector", "End sector", "Size");
        for (std::uint32_t k = 0; k < walked.partitionCount; ++k) {
            const auto& slot = walked.slots[k];
            std::printf("%-26s %14llu %14llu %12s\n", tree.label(slot.treeItem).c_str(),
                        static_cast<unsigned long long>(slot.startSector),
                        static_cast<unsigned long long>(slot.endSector), humanSize(partitionBytes(slot)).c_str());
        }
    }
    for (const auto& n : notes.notes) std::printf("note: %s\n", n.c_str());
    if (found) {
        std::printf("\nPartition search (%llu cylinders probed):\n", static_cast<unsigned long long>(found->cylindersProbed));
        for (const ItemId item : found->added) {
            const auto& slot = slotOf(entry, item);
            std::printf("%-26s %14llu %14llu %12s  [found]\n", tree.label(item).c_str(),
                        static_cast<unsigned long long>(slot.startSector),
                        static_cast<unsigned long long>(slot.endSector), humanSize(partitionBytes(slot)).c_str());
        }
        for (const auto& n : found->notes) std::printf("note: %s\n", n.c_str());
        if (found->stopped) std::printf("Stopped: the partitions found so far are listed.\n");
        std::printf("%s\n", found->message.c_str());
        return found->stopped ? kExitFailure : kExitOk;
    }
    return kExitOk;
}

} // namespace snapmend::cli
