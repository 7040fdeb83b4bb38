// What the command line shows and saves of a recovered tree: the folder tree with deleted marks,
// each folder's files as the item list shows them, a JSON summary, and the save into a folder.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/engine_sink.h"
#include "fsrecovery/session.h"

namespace snapmend::cli {

struct RecoveredFile {
    std::string path;  // below "Root", "/"-separated, names as found
    std::string type, date, time;
    std::uint64_t size = 0;
    bool deleted = false;
    std::uint64_t location = 0;  // first cluster (FAT) or record sector (NTFS)
    std::string savedAs;         // relative path under the destination, when saved
};

struct RecoveredFolder {
    ItemId item = kNoItem;
    std::string path;
    int depth = 0;
    bool deleted = false;
    std::vector<std::size_t> files;  // indexes into RecoveredReport::files
};

struct RecoveredReport {
    std::vector<RecoveredFolder> folders;  // pre-order, "Root" first
    std::vector<RecoveredFile> files;
    bool nothingFound = false;
    bool saved = false;
    bool saveStopped = false;
    bool saveFailed = false;
    std::uint64_t foldersSaved = 0;
    std::uint64_t filesSaved = 0;
    std::uint64_t bytesSaved = 0;
};

// The answer every name collision gets when saving: 0 overwrite, 3 skip, 5 rename (the default).
int collisionPolicy(const std::optional<std::string>& option);

class Args;

// The output options that basic, deep and load share: --list, --json, --out and --on-collision.
struct OutputOptions {
    bool list = false;
    bool json = false;
    std::optional<std::string> out;
    int collision = 5;
};
OutputOptions takeOutputOptions(Args& args);

// The log a finished scan writes with --log: the path and the mode (1 Basic, 2 Deep).
struct ScanLog {
    std::optional<std::string> path;
    std::uint32_t mode = 0;
};

// Everything after a scan or a load: lists the tree, writes the log (before saving, so a stopped
// save still leaves it), saves, and prints the tree or the JSON summary. addJson adds the
// command's own fields; beforeTree prints lines ahead of the tree. Returns the exit code.
int presentRecovered(fsrecovery::Session& session, EngineSink& sink, std::stop_token stop, const OutputOptions& options,
                     const ScanLog& log, bool scanStopped, const std::function<void(nlohmann::json&)>& addJson,
                     const std::function<void(std::ostream&)>& beforeTree = {});

// Walks the tree; with listFiles, lists every folder's files (which also names child folders).
RecoveredReport collectRecovered(fsrecovery::Session& session, EngineSink& sink, bool listFiles);

// Saves the whole tree under destination ("Root" is the destination itself).
void saveRecovered(fsrecovery::Session& session, const std::string& destination, int collisionAnswer,
                   EngineSink& sink, std::stop_token stop, RecoveredReport& report);

void printTree(std::ostream& out, const fsrecovery::Session& session, const RecoveredReport& report, bool withFiles);
void printSummary(std::ostream& out, const RecoveredReport& report);
nlohmann::json reportJson(const fsrecovery::Session& session, const RecoveredReport& report);

} // namespace snapmend::cli
