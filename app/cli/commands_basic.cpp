// snapmend basic: Basic Search from the command line, with listing and saving.
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/cli/command.h"
#include "app/cli/console_sink.h"
#include "app/cli/interrupt.h"
#include "app/cli/media.h"
#include "app/cli/recovered_output.h"
#include "common/text.h"
#include "fsrecovery/basic_search.h"
#include "fsrecovery/session.h"

namespace snapmend::cli {

int runBasic(Args& args) {
    TargetChoice choice;
    if (const auto p = args.option("--partition")) choice.partition = parseCount("--partition", *p);
    choice.forceVolume = args.flag("--volume");
    const OutputOptions options = takeOutputOptions(args);
    const ScanLog log{args.option("--log"), 1};
    const auto images = args.positionals();
    args.finish();
    if (images.size() != 1) throw UsageError("needs exactly one IMAGE (see --help)");
    choice.image = images.front();

    device::DeviceMap devices;
    ChooseFailure failure;
    auto chosen = chooseTarget(devices, choice, "Basic Search", failure);
    if (!chosen) {
        std::fprintf(stderr, "snapmend basic: %s\n", failure.text.c_str());
        return failure.exitCode;
    }

    StopOnInterrupt interrupt;
    ConsoleSink sink(std::nullopt, interrupt.token());
    fsrecovery::Session session(devices);
    session.target = chosen->state;
    session.logicalDevicePath = chosen->logicalDevicePath;
    sink.status("Basic Search on " + chosen->description + " (" + session.target.target.fileSystem + ")");
    sink.status(chosen->rangeText);
    sink.status(std::string(device::kValidatingPartitionText));

    const auto summary = fsrecovery::BasicSearchWorker(session, sink, interrupt.token());
    sink.finishLine();
    return presentRecovered(session, sink, interrupt.token(), options, log, summary.stopped, [&](nlohmann::json& doc) {
        doc["image"] = choice.image;
        doc["mode"] = "Basic Search";
        doc["parametersFrom"] = summary.paramsFromBootSector ? "boot sector" : summary.paramsFound ? "scan" : "none";
    });
}

} // namespace snapmend::cli
