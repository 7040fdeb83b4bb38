// What the command line shows and saves of a recovered tree: the folder tree with deleted marks,
// each folder's files as the item list shows them, a JSON summary, and the save into a folder.
#pragma once

#include <cstdint>
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

// Walks the tree; with listFiles, lists every folder's files (which also names child folders).
RecoveredReport collectRecovered(fsrecovery::Session& session, EngineSink& sink, bool listFiles);

// Saves the whole tree under destination ("Root" is the destination itself).
void saveRecovered(fsrecovery::Session& session, const std::string& destination, int collisionAnswer,
                   EngineSink& sink, std::stop_token stop, RecoveredReport& report);

void printTree(std::ostream& out, const fsrecovery::Session& session, const RecoveredReport& report, bool withFiles);
void printSummary(std::ostream& out, const RecoveredReport& report);
nlohmann::json reportJson(const fsrecovery::Session& session, const RecoveredReport& report);

} // namespace snapmend::cli
