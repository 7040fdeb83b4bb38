// snapmend photo|video|raw: the carving modes from the command line.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "app/cli/command.h"
#include "app/cli/console_sink.h"
#include "app/cli/interrupt.h"
#include "app/cli/media.h"
#include "carving/carve_passes.h"
#include "common/text.h"
#include "device/scan_target.h"

namespace snapmend::cli {

namespace {

using carving::CarveMode;

// "JPG", " .jpg" and "jpg" all name the type JPG.
std::string upperKey(std::string_view text) {
    std::string out;
    for (char c : text)
        if (c != ' ') out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!out.empty() && out.front() == '.') out.erase(0, 1);
    return out;
}

std::vector<std::string> splitTypes(const std::string& text) {
    std::vector<std::string> keys;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        const std::string key = upperKey(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!key.empty()) keys.push_back(key);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (keys.empty()) throw UsageError("--types needs at least one extension, such as JPG or CR2");
    return keys;
}

std::uint64_t parseSector(const std::string& text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw UsageError("--range takes START:END in sectors, not '" + text + "'");
    return parseU64(text);
}

std::string joined(const std::vector<std::string>& keys) {
    std::string out;
    for (const auto& k : keys) out += (out.empty() ? "" : ", ") + k;
    return out;
}

// Keeps the records of a Photo set whose extension is among keys.
carving::SignatureSet keepTypes(const carving::SignatureSet& set, const std::vector<std::string>& keys) {
    carving::SignatureSet kept;
    for (const auto& r : set.records)
        if (std::find(keys.begin(), keys.end(), upperKey(r.extension)) != keys.end()) kept.add(r);
    return kept;
}

void addPhotoKeys(const carving::SignatureSet& set, std::vector<std::string>& known) {
    for (const auto& r : set.records)
        if (std::find(known.begin(), known.end(), upperKey(r.extension)) == known.end())
            known.push_back(upperKey(r.extension));
}

int failWith(std::string_view command, const std::string& text, int code) {
    std::fprintf(stderr, "snapmend %.*s: %s\n", static_cast<int>(command.size()), command.data(), text.c_str());
    return code;
}

int runCarve(Args& args, CarveMode mode, std::string_view command) {
    TargetChoice choice;
    if (const auto p = args.option("--partition")) choice.partition = parseCount("--partition", *p);
    choice.forceVolume = args.flag("--volume");
    const auto out = args.option("--out");
    const auto range = args.option("--range");
    const bool thorough = !args.flag("--no-thorough");
    const auto types = args.option("--types");
    const bool json = args.flag("--json");
    const bool yes = args.flag("--yes");
    const auto signatures = args.option("--signatures");
    const auto images = args.positionals();
    args.finish();
    if (images.size() != 1) throw UsageError("needs exactly one IMAGE (see --help)");
    if (!out || out->empty()) throw UsageError("needs --out DIR, the folder the carved files go to");
    choice.image = images.front();

    // The databases are checked before anything else, as at program start.
    const std::filesystem::path folder = signatures ? std::filesystem::path(*signatures) : carving::signatureFolder();
    if (auto checked = carving::checkSignatureFiles(folder); !checked)
        return failWith(command, checked.error().detail + " (signature databases in " + folder.string() + ")",
                        kExitFailure);

    // The whole image by default; a partition or volume when asked for.
    device::DeviceMap devices;
    std::string devicePath;
    std::string description;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    const std::string modeName(carving::modeFolder(mode));
    if (choice.partition || choice.forceVolume) {
        ChooseFailure failure;
        auto chosen = chooseTarget(devices, choice, modeName, failure);
        if (!chosen) return failWith(command, failure.text, failure.exitCode);
        devicePath = chosen->state.devicePath;
        start = chosen->state.target.startSector;
        end = chosen->state.target.endSector;
        description = chosen->description;
    } else {
        const auto disk = devices.attachDisk(choice.image);
        if (!disk) return failWith(command, disk.error().detail, kExitUsage);
        devicePath = device::DevicePathTable[static_cast<std::size_t>(*disk)];
        end = devices.disk(*disk)->sizeBytes / device::kSectorSize;
        description = choice.image;
    }
    if (range) {
        const auto colon = range->find(':');
        if (colon == std::string::npos) throw UsageError("--range takes START:END in sectors");
        const std::uint64_t from = parseSector(range->substr(0, colon));
        const std::uint64_t to = parseSector(range->substr(colon + 1));
        if (to <= from || end - start < to)
            throw UsageError(std::string(device::kEndSectorRefused) + " (the target has " + decimal(end - start) +
                             " sectors)");
        end = start + to;
        start += from;
    }
    if (end == 0 || end - 1 <= start)
        return failWith(command, std::string(device::kEndSectorRefused), kExitUsage);

    StopOnInterrupt interrupt;
    ConsoleSink sink(yes ? std::optional<Answer>(Answer::Yes) : std::nullopt, interrupt.token());

    carving::CarveRun run;
    run.devices = &devices;
    run.devicePath = devicePath;
    run.firstSector = start;
    run.lastSector = end - 1;
    run.destination = *out;
    run.thorough = thorough;
    nlohmann::json files = nlohmann::json::array();
    if (json)
        run.onFile = [&](const carving::CarvedFile& f) {
            files.push_back({{"name", f.fileName},
                             {"path", f.savedPath},
                             {"pass", f.pass == carving::CarvePass::General ? "General" : "Thorough"},
                             {"startSector", f.startSector},
                             {"bytes", f.bytes}});
        };

    sink.status(modeName + " on " + description);
    sink.status(device::searchRangeText(start, end));
    Result<carving::CarveReport> report = makeError(Errc::InvalidArgument, "");
    carving::SignatureSet carveSet;
    if (mode == CarveMode::Photo) {
        carving::PhotoSignatureSets sets;
        for (const auto& [file, list] : {std::pair{carving::kPhotoGeneralFile, "General"},
                                         std::pair{carving::kPhotoThoroughFile, "Advance"}}) {
            auto loaded = carving::loadSignatureFile(folder, file, list, sets);
            if (!loaded) return failWith(command, loaded.error().detail, kExitFailure);
            for (const auto& note : loaded->skipped) sink.message(MessageKind::Warning, note);
        }
        if (types) {
            std::vector<std::string> known;
            addPhotoKeys(sets.photoGeneralSet, known);
            addPhotoKeys(sets.photoAdvanceSet, known);
            const auto keys = splitTypes(*types);
            for (const auto& k : keys)
                if (std::find(known.begin(), known.end(), k) == known.end())
                    throw UsageError("unknown type '" + k + "' (known: " + joined(known) + ")");
            sets.photoGeneralSet = keepTypes(sets.photoGeneralSet, keys);
            sets.photoAdvanceSet = keepTypes(sets.photoAdvanceSet, keys);
        }
        report = carving::runPhotoSearch(sets, run, sink, interrupt.token());
    } else {
        carving::ExtensionList list;
        if (auto filled = carving::fillExtensionList(list, folder, carving::generalFileOf(mode),
                                                     carving::thoroughFileOf(mode));
            !filled)
            return failWith(command, filled.error().detail, kExitFailure);
        list.sortByExtension();
        if (types) {
            const auto keys = splitTypes(*types);
            list.tickAll(false);
            for (const auto& k : keys) {
                auto* row = list.find(k);
                if (!row) {
                    std::vector<std::string> known;
                    for (const auto& r : list.rows()) known.push_back(r.extension);
                    throw UsageError("unknown type '" + k + "' (known: " + joined(known) + ")");
                }
                row->ticked = true;
            }
        }
        report = carving::runSignatureSearch(mode, folder, list, carveSet, run, sink, interrupt.token());
    }
    sink.finishLine();
    if (!report) return failWith(command, report.error().detail, kExitFailure);
    if (interrupt.interrupted()) sink.message(MessageKind::Information, "Stopped: the files carved so far are kept.");

    const auto& r = *report;
    if (json) {
        nlohmann::json doc;
        doc["image"] = choice.image;
        doc["mode"] = modeName;
        doc["destination"] = *out;
        doc["folder"] = r.containingFolder;
        doc["range"] = {{"start", start}, {"end", end}};
        doc["stopped"] = r.stopped;
        doc["destinationFailed"] = r.destinationFailed;
        doc["thoroughRan"] = r.thoroughRan;
        doc["generalCount"] = r.generalCount;
        doc["thoroughCount"] = r.thoroughCount;
        doc["unreadableWindows"] = r.unreadableWindows;
        nlohmann::json rows = nlohmann::json::array();
        for (const auto& t : r.types) rows.push_back({{"type", t.extension}, {"general", t.general}, {"thorough", t.thorough}});
        doc["types"] = rows;
        doc["files"] = files;
        std::cout << doc.dump(2) << '\n';
    } else {
        std::printf("%-10s %10s %10s\n", "Type", "General", "Thorough");
        for (const auto& t : r.types)
            std::printf("%-10s %10llu %10s\n", t.extension.c_str(), static_cast<unsigned long long>(t.general),
                        r.thoroughRan ? decimal(t.thorough).c_str() : "-");
        std::printf("%-10s %10llu %10s\n", "Total", static_cast<unsigned long long>(r.generalCount),
                    r.thoroughRan ? decimal(r.thoroughCount).c_str() : "-");
        std::printf("Carved files are in %s\n", r.containingFolder.c_str());
    }
    return r.stopped || r.destinationFailed || r.deviceUnavailable ? kExitFailure : kExitOk;
}

} // namespace

int runPhoto(Args& args) { return runCarve(args, CarveMode::Photo, "photo"); }
int runVideo(Args& args) { return runCarve(args, CarveMode::Video, "video"); }
int runRaw(Args& args) { return runCarve(args, CarveMode::Raw, "raw"); }

} // namespace snapmend::cli
