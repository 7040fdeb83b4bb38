// The save walk: rebuilds the recovered folder tree under a destination folder and extracts every
// listed file of the saved folders into it.
//
// The tree's first item ("Root") is the destination itself; every other folder becomes a folder
// named after its tree label made safe by safeComponent (see safe_name.h). A folder name that is
// already taken by a file or a symbolic link gets a "_dd_N" name instead; an existing real folder
// of the same name is used as it is, so two recovered folders with one name share it and their
// files meet the collision check. Every path is checked to lie inside the destination.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/engine_sink.h"
#include "fsrecovery/session.h"
#include "saving/save_context.h"

namespace snapmend::saving {

inline constexpr std::string_view kInvalidDestination =
    "Invalid destination path. Please provide a valid location path to save the recovered data.";

struct SavedFile {
    std::string relativePath;    // under the destination, "/"-separated, as finally written
    std::uint64_t size = 0;      // from the listing
    bool deleted = false;        // the listing's "Deleted" cell
    std::uint64_t location = 0;  // FAT: first cluster; NTFS: sector of the MFT record
    std::uint64_t bytesWritten = 0;
    bool complete = false;
};

struct SaveSummary {
    std::uint64_t foldersCreated = 0;  // folders made by this save (existing ones reused are not counted)
    std::uint64_t filesWritten = 0;    // output files created
    std::uint64_t bytesWritten = 0;
    bool stopped = false;              // Stop, Cancel, the stop token or a full disk ended the save early
    bool diskFull = false;
    std::vector<SavedFile> files;
};

// Runs on the calling (worker) thread. First lists every folder to save through the folder listing
// (which names its child folders) and counts their files into ctx.totalFileCount; then clears
// stopAll, collisionAnswer and savedFileCount and writes the files with the engine of the volume's
// partType ("FAT16"/"FAT32" or "NTFS"), counted. checkedOnly saves the folders whose tree item is
// checked (stateImage 2), each with its whole subtree; otherwise everything under "Root". A stop
// request sets stopAll, which ends the current file and the walk. Without a progress in ctx, the
// total-files count goes to sink.progress.
SaveSummary saveTree(fsrecovery::Session& session, const std::filesystem::path& destination, SaveContext& ctx,
                     EngineSink& sink, std::stop_token stop, bool checkedOnly);

} // namespace snapmend::saving
