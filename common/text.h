// Decimal text cells and the number parses the work tables depend on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace snapmend {

// "%llu" / "%d" forms of the hidden tables.
std::string decimal(std::uint64_t v);
std::string decimal(std::int64_t v);
inline std::string decimal(std::uint32_t v) { return decimal(static_cast<std::uint64_t>(v)); }
inline std::string decimal(int v) { return decimal(static_cast<std::int64_t>(v)); }

// Plain decimal parse as the tables use it: leading white space, an optional sign, then digits up
// to the first non-digit. Empty or unparsable text gives 0. The 32-bit form saturates at the
// int32 limits instead of wrapping, so sort order stays monotonic for out-of-range cells.
std::int32_t parseInt32(std::string_view text);
// Unsigned 64-bit parse (saturating); a leading '-' gives 0.
std::uint64_t parseU64(std::string_view text);

std::string trim(std::string_view text);
bool contains(std::string_view text, std::string_view part);
bool startsWith(std::string_view text, std::string_view prefix);
bool iequals(std::string_view a, std::string_view b);

} // namespace snapmend

namespace snapmend {

// UTF-16 code units to UTF-8. Unpaired surrogates are kept as their three-byte forms
// (generalised UTF-8), so a name read from a medium survives a round trip unchanged.
std::string utf16ToUtf8(std::u16string_view text);
// The inverse of utf16ToUtf8, including its surrogate forms. Bytes that are not UTF-8 become U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);

} // namespace snapmend
