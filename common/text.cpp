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

namespace snapmend {

std::string utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    const auto byteAt = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const auto cont = [&](std::size_t k) { return k < text.size() && (byteAt(k) & 0xC0) == 0x80; };
    while (i < text.size()) {
        const unsigned char b = byteAt(i);
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0 && cont(i + 1)) {
            cp = ((b & 0x1Fu) << 6) | (byteAt(i + 1) & 0x3Fu);
            len = 2;
        } else if ((b & 0xF0) == 0xE0 && cont(i + 1) && cont(i + 2)) {
            cp = ((b & 0x0Fu) << 12) | ((byteAt(i + 1) & 0x3Fu) << 6) | (byteAt(i + 2) & 0x3Fu);
            len = 3;
        } else if ((b & 0xF8) == 0xF0 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
            cp = ((b & 0x07u) << 18) | ((byteAt(i + 1) & 0x3Fu) << 12) | ((byteAt(i + 2) & 0x3Fu) << 6) |
                 (byteAt(i + 3) & 0x3Fu);
            len = 4;
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else if (cp < 0x10000) {
            out += static_cast<char16_t>(cp);
        } else {
            out += u'\uFFFD';
        }
        i += len;
    }
    return out;
}

} // namespace snapmend
