// The Open action: extracts one listed file to the temporary folder under a throw-away name
// ("QTM" + counter + "." + extension) and hands it to the desktop's opener; and the clean-up
// that removes those files again at exit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/engine_sink.h"
#include "common/work_table.h"
#include "fsrecovery/session.h"
#include "saving/save_context.h"

namespace snapmend::saving {

inline constexpr std::string_view kDoesNotExist = "Does not exist.";

// Opens a file with the program the desktop associates with it.
class FileOpener {
public:
    virtual ~FileOpener() = default;
    // False when the opener could not be started.
    virtual bool open(const std::filesystem::path& path) = 0;
};

// Runs xdg-open on the path without waiting for it.
class XdgOpener final : public FileOpener {
public:
    bool open(const std::filesystem::path& path) override;
};

// The state the Open action keeps between runs: where temporary files go and the counter in
// their names, which only grows so every Open of a run gets a new name.
struct OpenState {
    std::filesystem::path tempFolder = std::filesystem::temp_directory_path();
    int openCounter = 0;
};

// "QTM%d." with the counter, then the extension of displayName (its text after the last "." of
// the name, blanks trimmed); without an extension the trailing "." is dropped. The result is one
// safe path component, whatever the name holds.
std::string temporaryOpenName(int counter, std::string_view displayName);
// Whether a file name has the form temporaryOpenName gives: "QTM", digits, and optionally "."
// and an extension without further dots.
bool isTemporaryOpenName(std::string_view fileName);

enum class OpenStatus : std::uint8_t {
    NoRow,           // no row, or a row without a type
    FolderSelected,  // a folder row: its tree item is the one to select
    NotAFile,        // neither a folder nor a file type, or the volume has no cluster size
    Opened,          // extracted and handed to the opener
    Missing,         // nothing was extracted: kDoesNotExist was shown
    OpenerFailed,
};

struct OpenOutcome {
    OpenStatus status = OpenStatus::NoRow;
    ItemId folderItem = kNoItem;  // FolderSelected
    std::filesystem::path path;   // the temporary file
};

// The Open action on row `row` of session.itemList. Extraction runs with ctx.previewMode set (no
// progress, no disk-full message) and ctx.stopAll cleared first.
OpenOutcome OpenRecoveredFile(fsrecovery::Session& session, std::size_t row, OpenState& state, SaveContext& ctx,
                              FileOpener& opener, EngineSink& sink);

// Deletes the files of the temporary folder (first level) whose names isTemporaryOpenName accepts;
// folders, links and every other file are left alone, and errors are ignored. Returns how many
// were deleted.
std::size_t CleanTempFiles(const std::filesystem::path& tempFolder);

} // namespace snapmend::saving
