#include "carving/carve_passes.h"

#include "common/text.h"
#include "device/scan_target.h"

namespace snapmend::carving {

namespace {

std::string withoutDot(std::string_view extension) {
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    return std::string(extension);
}

TypeSummary& rowFor(CarveReport& report, std::string_view extension) {
    const std::string key = withoutDot(extension);
    for (auto& row : report.types)
        if (iequals(row.extension, key)) return row;
    TypeSummary row;
    row.extension = key;
    report.types.push_back(std::move(row));
    return report.types.back();
}

void addRows(CarveReport& report, const SignatureSet& set) {
    for (const auto& r : set.records) (void)rowFor(report, r.extension);
}

Result<void> checkRange(const CarveRun& run, EngineSink& sink) {
    if (run.lastSector > run.firstSector) return {};
    sink.message(MessageKind::Information, device::kEndSectorRefused);
    return makeError(Errc::InvalidArgument, std::string(device::kEndSectorRefused));
}

void reportSkipped(const LoadOutcome& outcome, EngineSink& sink) {
    for (const auto& note : outcome.skipped) sink.message(MessageKind::Warning, note);
}

// One pass: runs the engine and folds what it closed into the report.
bool runPass(CarveMode mode, CarvePass pass, const SignatureSet& set, CarvedNamer& namer, CarvedOutputTree& output,
             const CarveRun& run, CarveReport& report, EngineSink& sink, std::stop_token stop) {
    namer.startPass(pass);
    CarveScanRequest req;
    req.devices = run.devices;
    req.devicePath = run.devicePath;
    req.firstSector = run.firstSector;
    req.lastSector = run.lastSector;
    req.mode = mode;
    req.pass = pass;
    req.set = &set;
    req.namer = &namer;
    req.output = &output;
    req.windowsPerRead = run.windowsPerRead;
    req.closeFile = [&](const CarvedFile& file) {
        TypeSummary& row = rowFor(report, file.extension);
        (pass == CarvePass::General ? row.general : row.thorough) += 1;
        (pass == CarvePass::General ? report.generalCount : report.thoroughCount) += 1;
        row.lastName = file.fileName;
        row.lastPath = file.savedPath;
        if (run.onFile) run.onFile(file);
    };
    const auto result = CarveScan(req, sink, std::move(stop));
    report.stopped = report.stopped || result.stopped;
    report.destinationFailed = report.destinationFailed || result.destinationFailed;
    report.deviceUnavailable = report.deviceUnavailable || result.deviceUnavailable;
    report.unreadableWindows += result.unreadableWindows;
    if (result.unreadableWindows > 0)
        sink.message(MessageKind::Warning,
                     decimal(result.unreadableWindows) +
                         " windows of 512 sectors could not be read completely; their unread sectors were taken "
                         "as zeros.");
    return !result.stopped;
}

} // namespace

std::string_view generalFileOf(CarveMode mode) {
    switch (mode) {
        case CarveMode::Photo: return kPhotoGeneralFile;
        case CarveMode::Video: return kVideoGeneralFile;
        case CarveMode::Raw: return kRawGeneralFile;
    }
    return kPhotoGeneralFile;
}

std::string_view thoroughFileOf(CarveMode mode) {
    switch (mode) {
        case CarveMode::Photo: return kPhotoThoroughFile;
        case CarveMode::Video: return kVideoThoroughFile;
        case CarveMode::Raw: return kRawThoroughFile;
    }
    return kPhotoThoroughFile;
}

Result<CarveReport> runPhotoSearch(const PhotoSignatureSets& sets, const CarveRun& run, EngineSink& sink,
                                   std::stop_token stop) {
    if (auto ok = checkRange(run, sink); !ok) return ok.error();
    CarveReport report;
    report.mode = CarveMode::Photo;
    report.containingFolder = containingFolder(run.destination, CarveMode::Photo);
    addRows(report, sets.photoGeneralSet);
    addRows(report, sets.photoAdvanceSet);
    sink.status(kCarveRunningText);

    CarvedNamer namer(CarveMode::Photo);
    CarvedOutputTree output(run.destination, CarveMode::Photo, run.create);
    const bool finished =
        runPass(CarveMode::Photo, CarvePass::General, sets.photoGeneralSet, namer, output, run, report, sink, stop);
    if (finished && run.thorough && !stop.stop_requested()) {
        report.thoroughRan = true;
        runPass(CarveMode::Photo, CarvePass::Thorough, sets.photoAdvanceSet, namer, output, run, report, sink, stop);
    }
    sink.status(kCarveFinishedText);
    return report;
}

Result<CarveReport> runSignatureSearch(CarveMode mode, const std::filesystem::path& folder, const ExtensionList& list,
                                       SignatureSet& carveSet, const CarveRun& run, EngineSink& sink,
                                       std::stop_token stop) {
    if (auto ok = checkRange(run, sink); !ok) return ok.error();
    CarveReport report;
    report.mode = mode;
    report.containingFolder = containingFolder(run.destination, mode);
    for (const auto& row : list.rows())
        if (row.ticked) (void)rowFor(report, row.extension);
    if (report.types.empty()) {
        sink.message(MessageKind::Information, kNoExtensionTicked);
        return makeError(Errc::InvalidArgument, std::string(kNoExtensionTicked));
    }

    carveSet.clear();
    auto general = loadSelectedSignatures(list, folder, generalFileOf(mode), carveSet);
    if (!general) return general.error();
    reportSkipped(*general, sink);
    sink.status(kCarveRunningText);

    CarvedNamer namer(mode);
    CarvedOutputTree output(run.destination, mode, run.create);
    const bool finished = runPass(mode, CarvePass::General, carveSet, namer, output, run, report, sink, stop);
    carveSet.clear();
    if (finished && run.thorough && !stop.stop_requested()) {
        auto thorough = loadSelectedSignatures(list, folder, thoroughFileOf(mode), carveSet);
        if (!thorough) return thorough.error();
        reportSkipped(*thorough, sink);
        // A Thorough file without records for the ticked types skips the pass without a word.
        if (!carveSet.records.empty() && !carveSet.offsets.empty()) {
            report.thoroughRan = true;
            runPass(mode, CarvePass::Thorough, carveSet, namer, output, run, report, sink, stop);
        }
    }
    sink.status(kCarveFinishedText);
    return report;
}

} // namespace snapmend::carving
