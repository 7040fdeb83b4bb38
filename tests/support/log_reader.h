// Reads a recovery log the way its layout is laid down, field by field, with nothing shared with
// the program's own decoder: the check that a written log is the format and not just what the
// program's parser happens to accept.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/text.h"

namespace snapmend::test {

struct LogFieldReader {
    const std::vector<std::byte>& b;
    std::size_t pos = 0;

    std::uint64_t le(int n) {
        EXPECT_LE(pos + static_cast<std::size_t>(n), b.size());
        if (pos + static_cast<std::size_t>(n) > b.size()) throw std::runtime_error("past the end");
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(b[pos + static_cast<std::size_t>(i)]);
        pos += static_cast<std::size_t>(n);
        return v;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(le(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(le(4)); }
    std::uint64_t u64() { return le(8); }
    // S: 0xFF, 0xFFFE, the length in the shortest of its prefix forms, the UTF-16LE units.
    std::u16string S() {
        EXPECT_EQ(le(1), 0xFFu);
        EXPECT_EQ(le(2), 0xFFFEu);
        std::uint64_t n = le(1);
        if (n == 0xFF) {
            n = le(2);
            if (n == 0xFFFF) n = le(4);
        }
        std::u16string s;
        for (std::uint64_t i = 0; i < n; ++i) s += static_cast<char16_t>(le(2));
        return s;
    }
    std::string s8() { return utf16ToUtf8(S()); }
    // L: units up to LF, the line ending in CR LF.
    std::u16string L() {
        std::u16string s;
        for (;;) {
            const auto c = static_cast<char16_t>(le(2));
            if (c == u'\n') break;
            s += c;
        }
        EXPECT_FALSE(s.empty() || s.back() != u'\r') << "line without CR LF";
        if (!s.empty()) s.pop_back();
        return s;
    }
};

} // namespace snapmend::test
