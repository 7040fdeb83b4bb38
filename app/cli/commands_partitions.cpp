// snapmend partitions: walks an image's partition tables the way the drive tree does and prints
// the recognised partitions, as text or as JSON.
#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "app/cli/command.h"
#include "common/item_tree.h"
#include "device/device_map.h"
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

} // namespace

int runPartitions(Args& args) {
    const bool json = args.flag("--json");
    const auto images = args.positionals();
    args.finish();
    if (images.size() != 1) throw UsageError("takes exactly one IMAGE (see 'snapmend partitions --help')");
    const std::string& image = images.front();

    device::DeviceMap devices;
    const auto disk = devices.attachDisk(image);
    if (!disk) {
        std::fprintf(stderr, "snapmend partitions: %s\n", disk.error().detail.c_str());
        return kExitUsage;
    }
    const std::uint64_t sectors = devices.disk(*disk)->sizeBytes >> device::kSectorShift;

    ItemTree tree;
    const ItemId diskItem = tree.insert(kNoItem, image);
    device::DiskPartitions entry;
    const auto notes = device::walkPartitionTable(devices, *disk, tree, diskItem, 0, sectors, entry);

    if (json) {
        nlohmann::ordered_json partitions = nlohmann::ordered_json::array();
        for (std::uint32_t k = 0; k < entry.partitionCount; ++k) {
            const auto& slot = entry.slots[k];
            partitions.push_back({{"number", k + 1},
                                  {"label", tree.label(slot.treeItem)},
                                  {"fileSystem", entry.partitionFs[k]},
                                  {"startSector", slot.startSector},
                                  {"endSector", slot.endSector},
                                  {"sizeBytes", partitionBytes(slot)}});
        }
        const nlohmann::ordered_json out = {
            {"image", image}, {"sectors", sectors}, {"partitions", partitions}, {"notes", notes.notes}};
        std::printf("%s\n", out.dump(2).c_str());
        return kExitOk;
    }

    std::printf("%s: %llu sectors\n", image.c_str(), static_cast<unsigned long long>(sectors));
    if (entry.partitionCount == 0) {
        std::printf("No recognised partition was found; the disk can be searched for lost partitions.\n");
    } else {
        std::printf("%-26s %14s %14s %12s\n", "Partition", "Start sector", "End sector", "Size");
        for (std::uint32_t k = 0; k < entry.partitionCount; ++k) {
            const auto& slot = entry.slots[k];
            std::printf("%-26s %14llu %14llu %12s\n", tree.label(slot.treeItem).c_str(),
                        static_cast<unsigned long long>(slot.startSector),
                        static_cast<unsigned long long>(slot.endSector), humanSize(partitionBytes(slot)).c_str());
        }
    }
    for (const auto& n : notes.notes) std::printf("note: %s\n", n.c_str());
    return kExitOk;
}

} // namespace snapmend::cli
