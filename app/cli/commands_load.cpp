// snapmend load: reloads a recovery log against the attached media, then prints and saves the
// recovered tree like 'snapmend basic' does.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/cli/command.h"
#include "app/cli/console_sink.h"
#include "app/cli/interrupt.h"
#include "app/cli/recovered_output.h"
#include "device/sysfs_disks.h"
#include "fsrecovery/session.h"
#include "saving/log_reload.h"
#include "saving/recovery_log.h"

namespace snapmend::cli {

int runLoad(Args& args) {
    const auto disks = args.options("--disk");
    const auto volumes = args.options("--volume");
    const OutputOptions options = takeOutputOptions(args);
    const bool yes = args.flag("--yes");
    const bool no = args.flag("--no");
    const auto logs = args.positionals();
    args.finish();
    if (logs.size() != 1) throw UsageError("needs exactly one FILE.QSL (see --help)");
    if (yes && no) throw UsageError("--yes and --no exclude each other");
    if (disks.empty() && volumes.empty()) throw UsageError("needs the media to reload against: --disk or --volume");

    device::DeviceMap devices;
    for (const auto& d : disks)
        if (const auto r = devices.attachDisk(d); !r) {
            std::fprintf(stderr, "snapmend load: %s\n", r.error().detail.c_str());
            return kExitUsage;
        }
    for (const auto& v : volumes)
        if (const auto r = devices.attachVolume(v); !r) {
            std::fprintf(stderr, "snapmend load: %s\n", r.error().detail.c_str());
            return kExitUsage;
        }

    // The command line has no mode of its own: the log's mode is the one it loads in.
    std::uint32_t mode = saving::kBasicSearchMode;
    if (const auto bytes = saving::readLogFile(logs.front()); !bytes) {
        if (bytes.error().code != saving::kLogErrCorrupt) {
            std::fprintf(stderr, "snapmend load: cannot open %s: %s\n", logs.front().c_str(),
                         bytes.error().detail.c_str());
            return kExitUsage;
        }
    } else if (const auto header = saving::parseLogHeader(*bytes); header && header->mode == saving::kDeepSearchMode) {
        mode = saving::kDeepSearchMode;
    }

    StopOnInterrupt interrupt;
    std::optional<Answer> preset;
    if (yes) preset = Answer::Yes;
    if (no) preset = Answer::No;
    ConsoleSink sink(preset, interrupt.token());
    fsrecovery::Session session(devices);
    saving::LogLoadState state;
    const auto tables = saving::attachedMediaTables(devices, device::readSysfsDisks("/sys", "/dev"));
    const auto outcome = saving::LoadRecoveryLog(session, mode, logs.front(), tables, state, sink);
    sink.finishLine();
    switch (outcome.status) {
    case saving::LoadStatus::Loaded:
        break;
    case saving::LoadStatus::MediumRefused:
    case saving::LoadStatus::SwitchDeclined:
        return kExitFailure;
    default:
        return kExitUsage;
    }

    return presentRecovered(session, sink, interrupt.token(), options, {}, false, [&](nlohmann::json& doc) {
        doc["log"] = logs.front();
        doc["mode"] = mode == saving::kDeepSearchMode ? "Deep Search" : "Basic Search";
        doc["devicePath"] = outcome.devicePath;
    });
}

// Writes the log of a finished (or stopped) scan; false after telling why.
bool writeScanLog(const fsrecovery::Session& session, std::uint32_t mode, const std::string& path,
                  EngineSink& sink) {
    // The same description of the media as 'snapmend load' re-finds them with.
    const auto tables = saving::attachedMediaTables(session.devices, device::readSysfsDisks("/sys", "/dev"));
    const auto written = saving::WriteRecoveryLog(session, mode, tables.diskIdentityTable, path);
    if (!written) {
        sink.message(MessageKind::Error, "cannot write the log " + path + ": " + written.error().detail);
        return false;
    }
    sink.message(MessageKind::Information, saving::kLogSaved);
    return true;
}

} // namespace snapmend::cli
