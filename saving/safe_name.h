// Names read from a medium made safe to use as one path component under the destination.
//
// What a name maps to:
//  - "/", "\", NUL, the control characters 1..31 and DEL (127) each become "_";
//  - an empty name, "." and ".." become "_" (other all-dot names such as "..." are ordinary
//    file names on Linux and are kept);
//  - leading and trailing spaces and dots are kept: Linux stores them as given;
//  - a name longer than kMaxComponentBytes is cut on a UTF-8 character boundary, keeping an
//    extension of up to 16 bytes, so that "_dd_N" still fits within the 255-byte name limit.
// Everything else, including non-ASCII UTF-8, is kept as it is.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace snapmend::saving {

inline constexpr std::size_t kMaxComponentBytes = 230;

std::string safeComponent(std::string_view name);

// True when path, made absolute and normalised, lies strictly inside folder.
bool isInside(const std::filesystem::path& folder, const std::filesystem::path& path);

} // namespace snapmend::saving
