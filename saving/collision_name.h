// Name collisions at the destination: the "_dd_N" variants of a path and the check every counted
// file passes before anything is written.
#pragma once

#include <cstdint>
#include <string>

#include "saving/save_context.h"

namespace snapmend::saving {

// True when anything is at path: a file, a folder, or a symbolic link (dangling or not).
bool pathOccupied(const std::string& path);

// The first free variant of path from n on: report.txt gives report_dd_N.txt, README gives
// README_dd_N. The folder part ends at the last "/", the extension starts at the last "." of the
// file name. Every call starts again at n.
std::string BuildCollisionName(const std::string& path, std::uint64_t n);

// The collision check of a counted file. Returns false when the file must not be written. May
// replace path (rename) and then displayName with the new file name. Counts the file
// (savedFileCount) and shows the files text when it is to be written.
bool CheckCollision(SaveContext& ctx, std::string& path, std::string& displayName);

} // namespace snapmend::saving
