// The carving modes as engine operations: Photo Search (General pass over photoGeneralSet, then the
// Thorough pass over photoAdvanceSet) and Video and Raw Search (carveSet loaded from the General
// file, then refilled from the Thorough file), with the per-type summary the dialogs show.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "carving/carved_output.h"
#include "carving/carver.h"
#include "carving/signature_db.h"
#include "common/engine_sink.h"
#include "common/result.h"
#include "device/device_map.h"

namespace snapmend::carving {

inline constexpr std::string_view kNoExtensionTicked =
    "Please select at least one Extension type to continue recovery process?";
inline constexpr std::string_view kCarveRunningText =
    "To Stop recovery, click on 'Stop' Button or please wait for the process to be completed.";
inline constexpr std::string_view kCarveFinishedText =
    "To view the recovered Data, please click on 'Open Containing Folder' button. Or Click on \u2018Back\u2019 Button "
    "to select another disk for recovery.";

struct CarveRun {
    const device::DeviceMap* devices = nullptr;
    std::string devicePath;
    std::uint64_t firstSector = 0;
    std::uint64_t lastSector = 0;  // included
    std::string destination;
    bool thorough = true;  // run the Thorough pass (Photo, Video and Raw alike)
    CarvedFileCreator create;                         // optional: how carved files are created
    std::function<void(const CarvedFile&)> onFile;  // optional: thumbnails, result list
    std::size_t windowsPerRead = 8;
};

// One row of a mode's summary: a file type and what each pass found of it.
struct TypeSummary {
    std::string extension;  // without its dot: as in the database (Photo), upper case (Video, Raw)
    std::uint64_t general = 0;
    std::uint64_t thorough = 0;
    std::string lastName;
    std::string lastPath;
};

struct CarveReport {
    CarveMode mode = CarveMode::Photo;
    std::vector<TypeSummary> types;
    std::uint64_t generalCount = 0;
    std::uint64_t thoroughCount = 0;
    bool thoroughRan = false;
    bool stopped = false;
    bool destinationFailed = false;
    bool deviceUnavailable = false;
    std::uint64_t unreadableWindows = 0;
    std::string containingFolder;  // what "Open Containing Folder" opens
};

// Photo Search. A range whose last sector is not above the first is refused (InvalidArgument,
// the End Sector message, also sent to the sink).
Result<CarveReport> runPhotoSearch(const PhotoSignatureSets& sets, const CarveRun& run, EngineSink& sink,
                                   std::stop_token stop);

// Video or Raw Search over the ticked rows of list, with the mode's two files from folder. carveSet
// holds the Thorough records afterwards, as the dialog keeps them until "Back". A database that does
// not open ends the search with its Io error; no ticked row gives kNoExtensionTicked.
Result<CarveReport> runSignatureSearch(CarveMode mode, const std::filesystem::path& folder, const ExtensionList& list,
                                       SignatureSet& carveSet, const CarveRun& run, EngineSink& sink,
                                       std::stop_token stop);

// The General and Thorough file names of a mode.
std::string_view generalFileOf(CarveMode mode);
std::string_view thoroughFileOf(CarveMode mode);

} // namespace snapmend::carving
