#include "common/text.h"

#include <cctype>
#include <limits>

namespace snapmend {

std::string decimal(std::uint64_t v) { return std::to_string(v); }
std::string decimal(std::int64_t v) { return std::to_string(v); }

namespace {
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
} // namespace

std::int32_t parseInt32(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t v = 0;
    constexpr std::int64_t kLimit = static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > kLimit) v = kLimit;  // keep going to consume the digits; value is saturated
    }
    if (negative) return static_cast<std::int32_t>(-v);
    return v > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                         : static_cast<std::int32_t>(v);
}

std::uint64_t parseU64(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    if (i < text.size() && text[i] == '-') return 0;
    if (i < text.size() && text[i] == '+') ++i;
    std::uint64_t v = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (; i < text.size() && isDigit(text[i]); ++i) {
        const auto d = static_cast<std::uint64_t>(text[i] - '0');
        v = (v > (kMax - d) / 10) ? kMax : v * 10 + d;
    }
    return v;
}

std::string trim(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && isSpace(text[b])) ++b;
    while (e > b && isSpace(text[e - 1])) --e;
    return std::string(text.substr(b, e - b));
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }
bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

} // namespace snapmend
