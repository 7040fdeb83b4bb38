#include "saving/open_action.h"

#include <spawn.h>
#include <sys/wait.h>
#include <thread>

#include "common/text.h"
#include "fsrecovery/deep_scan_fat.h"
#include "fsrecovery/folder_listing.h"
#include "saving/extract_fat.h"
#include "saving/extract_ntfs.h"
#include "saving/safe_name.h"

extern char** environ;

namespace snapmend::saving {

namespace {

// The extension as the desktop's path functions find it: after the last "." of the last path
// part, and none when a blank or a backslash follows that dot.
std::string_view findExtension(std::string_view name) {
    std::size_t dot = std::string_view::npos;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' || name[i] == ' ')
            dot = std::string_view::npos;
        else if (name[i] == '.')
            dot = i;
    }
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

bool endsWithAny(std::string_view text, std::initializer_list<std::string_view> ends) {
    for (const auto e : ends)
        if (text.ends_with(e)) return true;
    return false;
}

} // namespace

bool XdgOpener::open(const std::filesystem::path& path) {
    const std::string file = path.string();
    char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(file.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
    // The viewer may stay open for long; reap the launcher without holding up the caller.
    std::thread([pid] {
        int status = 0;
        waitpid(pid, &status, 0);
    }).detach();
    return true;
}

std::string temporaryOpenName(int counter, std::string_view displayName) {
    std::string_view ext = findExtension(displayName);
    if (!ext.empty()) ext.remove_prefix(1);
    const std::string extension = trim(ext);
    std::string name = "QTM" + std::to_string(counter);
    if (!extension.empty()) name += "." + extension;
    // The extension comes from the medium: it must not reach outside the temporary folder.
    return safeComponent(name);
}

bool isTemporaryOpenName(std::string_view fileName) {
    if (!fileName.starts_with("QTM")) return false;
    std::size_t i = 3;
    const std::size_t digits = i;
    while (i < fileName.size() && fileName[i] >= '0' && fileName[i] <= '9') ++i;
    if (i == digits) return false;
    if (i == fileName.size()) return true;
    if (fileName[i] != '.' || i + 1 == fileName.size()) return false;
    return fileName.find('.', i + 1) == std::string_view::npos;
}

OpenOutcome OpenRecoveredFile(fsrecovery::Session& session, std::size_t row, OpenState& state, SaveContext& ctx,
                              FileOpener& opener, EngineSink& sink) {
    using namespace fsrecovery;
    OpenOutcome outcome;
    ctx.stopAll = false;
    const WorkTable& items = session.itemList;
    if (row >= items.rowCount()) return outcome;
    const std::string type = trim(items.cell(row, kItType));
    if (type.empty()) return outcome;

    if (endsWithAny(type, {"Folder", "FOLDER"})) {
        sink.status(countsText(session.folderCount, session.fileCount));
        outcome.status = OpenStatus::FolderSelected;
        outcome.folderItem = static_cast<ItemId>(items.u64At(row, kItHidden3));
        return outcome;
    }
    const auto& params = session.params();
    if (!endsWithAny(type, {"file", "FILE", "File"}) || params.SPC == 0) {
        outcome.status = OpenStatus::NotAFile;
        return outcome;
    }

    const std::string& name = items.cell(row, kItName);
    const std::uint64_t size = items.u64At(row, kItSize);
    const std::uint64_t location = items.u64At(row, kItHidden1);
    std::error_code ec;
    std::filesystem::create_directories(state.tempFolder, ec);
    const std::filesystem::path path = state.tempFolder / temporaryOpenName(state.openCounter, name);
    ++state.openCounter;
    std::filesystem::remove(path, ec);

    // A Deep Search row names the found FAT volume it was listed from ("Root" lists the root files
    // of every volume); that volume's layout must be loaded before its clusters mean anything.
    // Rows of other folders name it too, and loading it again also covers a later listing or
    // save that left another volume loaded.
    const bool fat = params.partType == "FAT32" || params.partType == "FAT16";
    if (fat && session.isDeepFat() && items.columnCount() > kItFileSys && !items.cell(row, kItFileSys).empty())
        LoadDeepVolume(session, parseU64(items.cell(row, kItFileSys)) + 1);

    ctx.previewMode = true;
    const SourceVolume source{session.devices, session.devicePath(), params};
    if (params.partType == "FAT32" || params.partType == "FAT16")
        (void)ExtractFatFile(source, ctx, path.string(), name, size, static_cast<std::uint32_t>(location), false);
    else if (params.partType == "NTFS")
        (void)ExtractNtfsFile(source, ctx, path.string(), name, size, location, false);
    ctx.previewMode = false;

    outcome.path = path;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) {
        sink.message(MessageKind::Information, kDoesNotExist);
        outcome.status = OpenStatus::Missing;
        return outcome;
    }
    outcome.status = opener.open(path) ? OpenStatus::Opened : OpenStatus::OpenerFailed;
    return outcome;
}

std::size_t CleanTempFiles(const std::filesystem::path& tempFolder) {
    std::size_t deleted = 0;
    std::error_code ec;
    std::filesystem::directory_iterator it(tempFolder, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::error_code typeEc;
        if (!it->is_regular_file(typeEc) || it->is_symlink(typeEc)) continue;
        if (!isTemporaryOpenName(it->path().filename().string())) continue;
        std::error_code removeEc;
        if (std::filesystem::remove(it->path(), removeEc)) ++deleted;
    }
    return deleted;
}

} // namespace snapmend::saving
