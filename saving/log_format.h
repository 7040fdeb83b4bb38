// The field encodings of the recovery log (".QSL"): little-endian integers, length-prefixed
// UTF-16LE strings (S), CR LF-ended UTF-16LE lines (L). The encoder appends to a byte buffer; the
// decoder reads from one and never trusts a length: every read is checked against what is left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"

namespace snapmend::saving {

inline constexpr std::string_view kLogMagic = "KestrevanWIN7SR2013";
inline constexpr std::string_view kLogEndMarker = "KestrevanWIN7SR2013/:*?\"<>|";

class LogEncoder {
public:
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    void u64(std::uint64_t v);
    // S: 0xFF, 0xFFFE (UTF-16 mark), the length in code units in the shortest prefix form, the units.
    void string(std::string_view utf8);
    void string16(std::u16string_view units);
    // L: the units, then CR LF.
    void line(std::u16string_view units);

    const std::vector<std::byte>& bytes() const { return m_bytes; }
    std::vector<std::byte> take() { return std::move(m_bytes); }

private:
    void byte(std::uint8_t v) { m_bytes.push_back(std::byte{v}); }
    std::vector<std::byte> m_bytes;
};

// Reads fields in order. A read that does not fit in what is left fails (nullopt) and the decoder
// stays failed, so a caller may check once after a group of reads.
class LogDecoder {
public:
    explicit LogDecoder(Bytes data) : m_reader(data) {}

    std::optional<std::uint8_t> u8();
    std::optional<std::uint16_t> u16();
    std::optional<std::uint32_t> u32();
    std::optional<std::uint64_t> u64();
    std::optional<std::u16string> string16();
    // The string as UTF-8 (utf16ToUtf8: unpaired surrogates survive).
    std::optional<std::string> string();
    // Code units up to and including LF; the line is returned without its CR LF (a lone LF or a
    // CR not followed by LF is kept as text the way the units stand). No LF before the end fails.
    std::optional<std::u16string> line();

    bool failed() const { return m_failed; }
    bool atEnd() const { return m_offset == m_reader.size(); }
    std::size_t offset() const { return m_offset; }
    std::size_t remaining() const { return m_reader.size() - m_offset; }

private:
    template <typename T>
    std::optional<T> fail() {
        m_failed = true;
        return std::nullopt;
    }
    ByteReader m_reader;
    std::size_t m_offset = 0;
    bool m_failed = false;
};

} // namespace snapmend::saving
