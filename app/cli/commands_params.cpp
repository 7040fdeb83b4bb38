// snapmend params: the layout numbers of one partition or volume of an image, from its boot sector
// or, for a FAT volume whose boot sector is unusable, by scanning the volume.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/cli/command.h"
#include "app/cli/console_sink.h"
#include "app/cli/interrupt.h"
#include "app/cli/media.h"
#include "device/device_map.h"
#include "device/scan_target.h"
#include "device/volume_params.h"

namespace snapmend::cli {

namespace {

constexpr const char* kCommand = "snapmend params";

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
    TargetChoice choice;
    if (const auto p = args.option("--partition")) choice.partition = parseCount("--partition", *p);
    const auto images = args.positionals();
    args.finish();
    if (images.size() != 1) throw UsageError("takes exactly one IMAGE (see 'snapmend params --help')");
    choice.image = images.front();
    const std::string& image = choice.image;

    device::DeviceMap devices;
    ChooseFailure failure;
    const auto chosen = chooseTarget(devices, choice, "Basic Search", failure);
    if (!chosen) {
        std::fprintf(stderr, "%s: %s\n", kCommand, failure.text.c_str());
        return failure.exitCode;
    }
    device::TargetState state = chosen->state;
    // 1-based partition number; 0 for a volume image taken whole.
    const std::uint32_t number = state.targetKind == device::kKindPartition ? state.target.partitionIndex + 1 : 0;
    const std::string& fs = state.target.fileSystem;

    bool fromBootSector = device::computeVolumeParams(devices, state, chosen->logicalDevicePath);
    bool ok = fromBootSector;
    if (!ok && fs != "NTFS") {
        StopOnInterrupt interrupt;
        ConsoleSink sink(std::nullopt, interrupt.token());
        ok = device::searchFatParams(devices, state, sink, interrupt.token());
        sink.finishLine();
        if (interrupt.interrupted()) {
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
            {"partition", number != 0 ? nlohmann::ordered_json(number) : nlohmann::ordered_json(nullptr)},
            {"fileSystem", fs},
            {"startSector", state.target.startSector},
            {"endSector", state.target.endSector},
            {"source", source},
            {"params", paramsObject(p)}};
        std::printf("%s\n", out.dump(2).c_str());
        return kExitOk;
    }

    const std::string what = number != 0 ? fs + " partition " + std::to_string(number) : fs + " volume (whole image)";
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
