// The carving engine: reads a sector range window by window, tests the start of every 512-byte
// sector against a SignatureSet, and treats each match as the first sector of a new file. A file
// runs until the sector where the next file starts, until its type's maximum size (cut back to a
// window boundary), or until the scan ends; its bytes are written to the output tree as the windows
// pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "carving/carved_output.h"
#include "carving/signature_db.h"
#include "common/engine_sink.h"
#include "device/device_map.h"

namespace snapmend::carving {

inline constexpr std::size_t kWindowSectors = kReadWindowBytes / device::kSectorSize;

// The media-removed prompt: Yes is "Retry and Continue...", No is "Cancel Searching".
inline constexpr std::string_view kMediaRemovedQuestion =
    "The selected storage device is no longer available.\n\nThe drive(from which you are trying recover data) either "
    "has been removed or no longer available.\n\nMake sure that the storage media is connected properly. If you are "
    "connecting the storage media through a USB hub or extension cable connect the media to system USB ports "
    "directly.\n\nYes: Retry and Continue...    No: Cancel Searching";
// Asked after a Retry; Yes means later failures retry without asking.
inline constexpr std::string_view kApplyUntilDoneQuestion = "Apply this action until the searching completes";

// Status lines of the two passes.
std::string carveStatusText(CarveMode mode, CarvePass pass);

// A file whose header was found and that is not closed yet.
struct PendingFile {
    std::string extension;    // the record's, with its dot
    std::string maxSizeText;  // the record's
    int matchIndex = 0;       // earlier matches at the same sector position of the window
    std::string fileName;
    std::string savedPath;    // empty until the first bytes are written
    std::size_t startOffset = 0;  // where its unconsumed data begins in the current window

    std::uint64_t maxSize = 0;
    std::uint64_t startSector = 0;
    std::uint64_t bytes = 0;  // taken so far (written, or held below until the next write)
    std::unique_ptr<saving::OutputFile> out;
    // Bytes taken but not written yet: consecutive windows of one read lie back to back in its
    // buffer, so they go out in one write when the file closes or the buffer is handed back.
    const std::byte* heldData = nullptr;
    std::size_t heldBytes = 0;
};

// What a closed file hands to the mode (thumbnails for Photo, the result list for Video and Raw).
struct CarvedFile {
    CarvePass pass = CarvePass::General;
    std::string extension;  // with its dot, as the record has it
    std::string fileName;
    std::string savedPath;
    std::uint64_t startSector = 0;
    std::uint64_t bytes = 0;
};

struct CarveScanRequest {
    const device::DeviceMap* devices = nullptr;
    std::string devicePath;
    std::uint64_t firstSector = 0;
    std::uint64_t lastSector = 0;  // included
    CarveMode mode = CarveMode::Photo;
    CarvePass pass = CarvePass::General;
    const SignatureSet* set = nullptr;
    CarvedNamer* namer = nullptr;
    CarvedOutputTree* output = nullptr;
    std::function<void(const CarvedFile&)> closeFile;  // optional
    // Windows read per device call, buffers in flight (the readers run this far ahead) and reader
    // threads. Two readers copy from a warm page cache on two cores, and keep a request queued at
    // a device while the other one's bytes are tested.
    std::size_t windowsPerRead = 8;
    std::size_t buffersInFlight = 4;
    std::size_t readers = 2;
};

struct CarveScanResult {
    bool stopped = false;            // stop requested, or "Cancel Searching"
    bool destinationFailed = false;  // a carved file could not be created or written
    bool deviceUnavailable = false;  // the device did not open
    std::uint64_t filesClosed = 0;   // files handed over (each holds at least one byte)
    std::uint64_t sectorsScanned = 0;
    std::uint64_t unreadableWindows = 0;  // windows with sectors that could not be read (taken as zeros)
};

// Runs one pass over [firstSector, lastSector]. Stop is checked before each window; a stop closes
// the pending files with what they hold.
CarveScanResult CarveScan(const CarveScanRequest& request, EngineSink& sink, std::stop_token stop);

} // namespace snapmend::carving
