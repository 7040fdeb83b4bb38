// snapmend basic: Basic Search from the command line, with listing and saving.
#include <cstdio>
#include <filesystem>
#include <iostream>
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
    const bool list = args.flag("--list");
    const bool json = args.flag("--json");
    const auto out = args.option("--out");
    const auto logFile = args.option("--log");
    const auto collision = collisionPolicy(args.option("--on-collision"));
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
    if (summary.stopped) sink.message(MessageKind::Information, "Stopped: the folders found so far are kept.");

    RecoveredReport report = collectRecovered(session, sink, list || json || out.has_value());
    // Written before saving, so a stopped save still leaves the scan's log.
    const bool logged = !logFile || writeScanLog(session, 1, *logFile, sink);
    if (out) saveRecovered(session, *out, collision, sink, interrupt.token(), report);

    if (json) {
        nlohmann::json doc = reportJson(session, report);
        doc["image"] = choice.image;
        doc["mode"] = "Basic Search";
        doc["stopped"] = summary.stopped || report.saveStopped;
        doc["parametersFrom"] = summary.paramsFromBootSector ? "boot sector" : summary.paramsFound ? "scan" : "none";
        std::cout << doc.dump(2) << '\n';
    } else {
        printTree(std::cout, session, report, list);
        printSummary(std::cout, report);
    }
    if (report.saveFailed || !logged) return kExitFailure;
    return summary.stopped || report.saveStopped ? kExitFailure : kExitOk;
}

} // namespace snapmend::cli
