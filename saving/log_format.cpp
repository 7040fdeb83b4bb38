#include "saving/log_format.h"

#include "common/text.h"

namespace snapmend::saving {

void LogEncoder::u16(std::uint16_t v) {
    byte(static_cast<std::uint8_t>(v));
    byte(static_cast<std::uint8_t>(v >> 8));
}

void LogEncoder::u32(std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v));
    u16(static_cast<std::uint16_t>(v >> 16));
}

void LogEncoder::u64(std::uint64_t v) {
    u32(static_cast<std::uint32_t>(v));
    u32(static_cast<std::uint32_t>(v >> 32));
}

void LogEncoder::string(std::string_view utf8) { string16(utf8ToUtf16(utf8)); }

void LogEncoder::string16(std::u16string_view units) {
    byte(0xFF);
    u16(0xFFFE);
    const std::uint64_t n = units.size();
    if (n < 0xFF) {
        byte(static_cast<std::uint8_t>(n));
    } else {
        byte(0xFF);
        if (n < 0xFFFE) {
            u16(static_cast<std::uint16_t>(n));
        } else {
            u16(0xFFFF);
            if (n < 0xFFFFFFFFu) {
                u32(static_cast<std::uint32_t>(n));
            } else {
                u32(0xFFFFFFFFu);
                u64(n);
            }
        }
    }
    for (const char16_t c : units) u16(static_cast<std::uint16_t>(c));
}

void LogEncoder::line(std::u16string_view units) {
    for (const char16_t c : units) u16(static_cast<std::uint16_t>(c));
    u16(0x000D);
    u16(0x000A);
}

std::optional<std::uint8_t> LogDecoder::u8() {
    if (m_failed) return std::nullopt;
    const auto v = m_reader.le8(m_offset);
    if (!v) return fail<std::uint8_t>();
    m_offset += 1;
    return v;
}

std::optional<std::uint16_t> LogDecoder::u16() {
    if (m_failed) return std::nullopt;
    const auto v = m_reader.le16(m_offset);
    if (!v) return fail<std::uint16_t>();
    m_offset += 2;
    return v;
}

std::optional<std::uint32_t> LogDecoder::u32() {
    if (m_failed) return std::nullopt;
    const auto v = m_reader.le32(m_offset);
    if (!v) return fail<std::uint32_t>();
    m_offset += 4;
    return v;
}

std::optional<std::uint64_t> LogDecoder::u64() {
    if (m_failed) return std::nullopt;
    const auto v = m_reader.le64(m_offset);
    if (!v) return fail<std::uint64_t>();
    m_offset += 8;
    return v;
}

std::optional<std::u16string> LogDecoder::string16() {
    // Only the UTF-16 form is read; the writer never produces 8-bit text.
    if (u8() != 0xFF || u16() != 0xFFFE) return fail<std::u16string>();
    const auto first = u8();
    if (!first) return std::nullopt;
    std::uint64_t n = *first;
    if (n == 0xFF) {
        const auto w = u16();
        if (!w) return std::nullopt;
        n = *w;
        if (n == 0xFFFE) return fail<std::u16string>();  // a second text mark is no length
        if (n == 0xFFFF) {
            const auto d = u32();
            if (!d) return std::nullopt;
            n = *d;
            if (n == 0xFFFFFFFFu) {
                const auto q = u64();
                if (!q) return std::nullopt;
                n = *q;
            }
        }
    }
    // The length must fit in what is left before anything is allocated for it.
    if (n > remaining() / 2) return fail<std::u16string>();
    std::u16string units(static_cast<std::size_t>(n), u'\0');
    for (auto& c : units) c = static_cast<char16_t>(m_reader.le16Unchecked(m_offset)), m_offset += 2;
    return units;
}

std::optional<std::string> LogDecoder::string() {
    auto units = string16();
    if (!units) return std::nullopt;
    return utf16ToUtf8(*units);
}

std::optional<std::u16string> LogDecoder::line() {
    if (m_failed) return std::nullopt;
    std::u16string units;
    for (std::size_t off = m_offset; m_reader.has(off, 2); off += 2) {
        const auto c = static_cast<char16_t>(m_reader.le16Unchecked(off));
        if (c == u'\n') {
            m_offset = off + 2;
            if (!units.empty() && units.back() == u'\r') units.pop_back();
            return units;
        }
        units.push_back(c);
    }
    return fail<std::u16string>();
}

} // namespace snapmend::saving
