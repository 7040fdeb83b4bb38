// snapmend params: the layout numbers of one partition or volume of an image, from its boot sector
// or, for a FAT volume whose boot sector is unusable, by scanning the volume.
#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <pthread.h>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/cli/command.h"
#include "app/cli/console_sink.h"
#include "common/bytes.h"
#include "common/item_tree.h"
#include "device/device_map.h"
#include "device/partition_table.h"
#include "device/scan_target.h"
#include "device/volume_params.h"

namespace snapmend::cli {

namespace {

constexpr const char* kCommand = "snapmend params";

// The file system a volume's own boot sector names, for an image without a partition table.
std::string bootSectorFs(std::span<const std::byte, device::kSectorSize> s) {
    const ByteReader r(s);
    if (r.matches(82, "FAT32")) return "FAT32";
    if (r.matches(54, "FAT16")) return "FAT16";
    if (r.matches(3, "NTFS")) return "NTFS";
    return "Unknown";
}

// Runs the scan on a worker while this thread turns SIGINT and SIGTERM into a stop request, so
// that an interrupted scan of a large card ends cleanly.
bool runStoppable(std::stop_source& stop, const std::function<bool(std::stop_token)>& work) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    std::atomic<bool> done{false};
    bool result = false;
    {
        std::jthread worker([&] {
            result = work(stop.get_token());
            done = true;
        });
        const timespec tick{0, 50'000'000};
        while (!done.load())
            if (sigtimedwait(&signals, nullptr, &tick) > 0) stop.request_stop();
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

// The parameters under the record's own field names, in the record's order.
nlohmann::ordered_json paramsObject(const device::VolumeParams& p) {
    return {{"SPF", p.SPF},
            {"SPC", p.SPC},
            {"RootSec", p.RootSec},
            {"RootStartSec", p.RootStartSec},
            {"ReserveSecStart", p.ReserveSecStart},
            {"Cluster0Start", p.Cluster0Start},
            {"firstFAT", p.firstFAT},
            {"secondFAT", p.secondFAT},
            {"partType", p.partType},
            {"mftStart", p.mftStart},
            {"mftMirrStart", p.mftMirrStart},
            {"sectorsPerMftRecord", p.sectorsPerMftRecord},
            {"sectorsPerIndexRecord", p.sectorsPerIndexRecord}};
}

} // namespace

int runParams(Args& args) {
    const bool json = args.flag("--json");
    const auto partitionText = args.option("--partition");
    const auto images = args.positionals();
    args.finish();
    if (images.size() != 1) throw UsageError("takes exactly one IMAGE (see 'snapmend params --help')");
    const std::string& image = images.front();
    std::optional<unsigned long> partition;
    if (partitionText) partition = parseCount("--partition", *partitionText);

    device::DeviceMap devices;
    const auto disk = devices.attachDisk(image);
    if (!disk) {
        std::fprintf(stderr, "%s: %s\n", kCommand, disk.error().detail.c_str());
        return kExitUsage;
    }
    const std::string& devicePath = device::DevicePathTable[static_cast<std::size_t>(*disk)];
    const std::uint64_t sectors = devices.disk(*disk)->sizeBytes >> device::kSectorShift;
    std::array<std::byte, device::kSectorSize> first{};
    if (!devices.readSectors(devicePath, 0, 1, first)) {
        std::fprintf(stderr, "%s: cannot read the first sector of %s\n", kCommand, image.c_str());
        return kExitUsage;
    }

    ItemTree tree;
    const ItemId diskItem = tree.insert(kNoItem, image);
    device::DiskPartitions entry;
    const auto notes = device::walkPartitionTable(devices, *disk, tree, diskItem, 0, sectors, entry);
    for (const auto& n : notes.notes) std::fprintf(stderr, "note: %s\n", n.c_str());

    device::TargetState state;
    device::resetTarget(state);
    state.target.diskIndex = static_cast<std::uint16_t>(*disk);
    state.devicePath = devicePath;
    std::optional<std::uint32_t> number;  // 1-based partition number, none for the whole image
    if (partition && *partition > entry.partitionCount) {
        std::fprintf(stderr, "%s: %s has no partition %lu (recognised partitions: %u)\n", kCommand, image.c_str(),
                     *partition, entry.partitionCount);
        return kExitUsage;
    }
    if (entry.partitionCount > 0) {
        const auto k = static_cast<std::uint32_t>(partition.value_or(1) - 1);
        const auto& slot = entry.slots[k];
        number = k + 1;
        state.targetKind = std::string(device::kKindPartition);
        state.target.partitionIndex = k;
        state.target.fileSystem = entry.partitionFs[k];
        state.target.startSector = slot.startSector;
        state.target.endSector = slot.endSector;
    } else {
        state.targetKind = std::string(device::kKindLogical);
        state.target.fileSystem = bootSectorFs(first);
        state.target.startSector = 0;
        state.target.endSector = sectors;
    }
    state.target.listedStartSector = state.target.startSector;
    state.target.listedEndSector = state.target.endSector;
    const std::string& fs = state.target.fileSystem;
    if (fs != "FAT16" && fs != "FAT32" && fs != "NTFS") {
        std::fprintf(stderr, "%s: the file system of %s is unknown\n", kCommand, image.c_str());
        return kExitFailure;
    }

    bool fromBootSector = device::computeVolumeParams(devices, state, devicePath);
    bool ok = fromBootSector;
    if (!ok && fs != "NTFS") {
        std::stop_source stop;
        ConsoleSink sink(std::nullopt, stop.get_token());
        ok = runStoppable(stop, [&](std::stop_token token) {
            return device::searchFatParams(devices, state, sink, token);
        });
        sink.finishLine();
        if (stop.stop_requested()) {
            std::fprintf(stderr, "%s: stopped\n", kCommand);
            return kExitFailure;
        }
    }
    if (!ok) {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(device::kUnableToCalculateParams.size()),
                     device::kUnableToCalculateParams.data());
        return kExitFailure;
    }
    device::activateParams(state);
    const device::VolumeParams& p = state.activeParams;
    const char* source = fromBootSector ? "boot sector" : "scan";

    if (json) {
        const nlohmann::ordered_json out = {
            {"image", image},
            {"partition", number ? nlohmann::ordered_json(*number) : nlohmann::ordered_json(nullptr)},
            {"fileSystem", fs},
            {"startSector", state.target.startSector},
            {"endSector", state.target.endSector},
            {"source", source},
            {"params", paramsObject(p)}};
        std::printf("%s\n", out.dump(2).c_str());
        return kExitOk;
    }

    const std::string what = number ? fs + " partition " + std::to_string(*number) : fs + " volume (whole image)";
    std::printf("%s: start %llu, end %llu, parameters from the %s\n", what.c_str(),
                static_cast<unsigned long long>(state.target.startSector),
                static_cast<unsigned long long>(state.target.endSector), source);
    const auto fields = paramsObject(p);
    for (const auto& [name, value] : fields.items()) {
        const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
        std::printf("%s: %s\n", name.c_str(), text.c_str());
    }
    return kExitOk;
}

} // namespace snapmend::cli
