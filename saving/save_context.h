// The state the extraction engines share with the save walk, the Open action and whatever shows
// their progress: Stop and Skip, the remembered collision answer, the file counters, and the seam
// through which output files are created and written.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/engine_sink.h"
#include "device/device_map.h"
#include "device/volume_params.h"

namespace snapmend::saving {

inline constexpr std::string_view kDiskFullMessage =
    "Unable to continue saving recovered data.\n\nEither Destination Drive is inaccessible or there is no free "
    "space available in drive to save recovered data.";

// Answers of the Replace dialog; the values are the ones a remembered answer is stored as.
enum class CollisionAnswer : int {
    Overwrite = 0,     // this file; ask again next time
    Skip = 1,          // this file; ask again next time
    OverwriteAll = 2,  // this and every later collision without asking
    SkipAll = 3,       // this and every later collision without asking ("Cancel" too)
    Rename = 4,        // this file under the edited name; ask again next time
    RenameAll = 5,     // every later collision gets BuildCollisionName without asking
};

struct CollisionReply {
    CollisionAnswer answer = CollisionAnswer::Skip;
    // The "New File Name" field as edited; only its file-name part is used, in the colliding
    // file's own folder, so an edit cannot move the file out of the destination.
    std::string path;
    bool cancel = false;  // "Cancel": skip-all and stop the whole save
};

// Stands in for the Replace dialog: the colliding path and the suggested rename.
using CollisionResolver = std::function<CollisionReply(const std::string& collisionPath, const std::string& suggested)>;

// The fields of the save progress window. Only called outside previewMode.
class SaveProgress {
public:
    virtual ~SaveProgress() = default;
    // A new file: its path as shown (see displayPath) and its display name.
    virtual void fileShown(std::string_view shownPath, std::string_view displayName) = 0;
    virtual void bytesText(std::string_view text) = 0;  // "%llu / %llu Bytes"
    virtual void filesText(std::string_view text) = 0;  // "%llu / %llu"
    virtual void currentFileBar(std::uint64_t done, std::uint64_t total) = 0;
    virtual void totalFilesBar(std::uint64_t done, std::uint64_t total) = 0;
};

// One output file. Errors are errno values, 0 for success.
class OutputFile {
public:
    virtual ~OutputFile() = default;
    // Writes all of data, or as much as fits before an error; written tells how much went in.
    virtual int write(std::span<const std::byte> data, std::size_t& written) = 0;
    virtual int close() = 0;
};
struct OpenedOutput {
    std::unique_ptr<OutputFile> file;  // null when creation failed
    int error = 0;
};
using OutputOpener = std::function<OpenedOutput(const std::string& path)>;

// Creates or truncates path for writing (mode 0644). A symbolic link at path is refused rather
// than followed, so a link planted in the destination cannot redirect the write.
OpenedOutput openPosixOutput(const std::string& path);
// The same, but fails with EEXIST when anything is at path already: nothing is ever overwritten.
OpenedOutput openNewPosixOutput(const std::string& path);

struct SaveContext {
    std::atomic<bool> stopAll{false};      // abandon the whole save
    std::atomic<bool> skipCurrent{false};  // abandon the file being written
    CollisionAnswer collisionAnswer = CollisionAnswer::Overwrite;
    std::string collisionPath;
    bool previewMode = false;  // the Open action: no progress, no disk-full message
    std::uint64_t savedFileCount = 0;
    std::uint64_t totalFileCount = 0;
    std::uint64_t totalBarPosition = 0;
    std::uint64_t renameStart = 0;
    int fatCopyChoice = 0;  // 0 first FAT then second, 1 first only, 2 second only, else contiguous
    bool skipOnOpenFailure = false;

    // Without a resolver nobody can be asked, and a colliding file is renamed (BuildCollisionName):
    // nothing is overwritten and nothing recovered is dropped.
    CollisionResolver resolveCollision;
    SaveProgress* progress = nullptr;  // none: progress updates are skipped
    EngineSink* sink = nullptr;        // receives the disk-full message
    OutputOpener openOutput = openPosixOutput;
};

// Where the engines read from.
struct SourceVolume {
    const device::DeviceMap& devices;
    std::string_view devicePath;
    const device::VolumeParams& params;
};

// What one engine call did.
struct ExtractOutcome {
    bool created = false;    // an output file was created
    std::string path;        // the path it was written under (after a rename)
    std::uint64_t bytes = 0;
    bool complete = false;   // every byte of the file was written
    int error = 0;           // errno of a failed create or write
};

// "%llu / %llu Bytes"
std::string bytesText(std::uint64_t done, std::uint64_t total);
// "%llu / %llu"; a count above the total shows the total twice.
std::string filesText(std::uint64_t done, std::uint64_t total);
// A path longer than 70 characters is shown with " /" for every "/" so that its field can wrap.
std::string displayPath(std::string_view path);

} // namespace snapmend::saving
