// Little-endian field readers over byte spans. On-disk structures are always read
// through these, never by casting packed structs over a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace snapmend {

using Bytes = std::span<const std::byte>;

inline std::uint8_t u8(std::byte b) { return static_cast<std::uint8_t>(b); }

// Fixed-offset reads: the offset is checked against the span's extent at compile time.
template <std::size_t Off, std::size_t N>
    requires(Off + 1 <= N)
std::uint8_t le8At(std::span<const std::byte, N> s) {
    return u8(s[Off]);
}
template <std::size_t Off, std::size_t N>
    requires(Off + 2 <= N)
std::uint16_t le16At(std::span<const std::byte, N> s) {
    return static_cast<std::uint16_t>(u8(s[Off]) | (u8(s[Off + 1]) << 8));
}
template <std::size_t Off, std::size_t N>
    requires(Off + 4 <= N)
std::uint32_t le32At(std::span<const std::byte, N> s) {
    return static_cast<std::uint32_t>(u8(s[Off])) | (static_cast<std::uint32_t>(u8(s[Off + 1])) << 8) |
           (static_cast<std::uint32_t>(u8(s[Off + 2])) << 16) | (static_cast<std::uint32_t>(u8(s[Off + 3])) << 24);
}
template <std::size_t Off, std::size_t N>
    requires(Off + 8 <= N)
std::uint64_t le64At(std::span<const std::byte, N> s) {
    return static_cast<std::uint64_t>(le32At<Off>(s)) | (static_cast<std::uint64_t>(le32At<Off + 4>(s)) << 32);
}

// Run-time checked reads over variable data (directory clusters, records, log files).
// Every accessor returns nullopt instead of reading past the end.
class ByteReader {
public:
    ByteReader() = default;
    explicit ByteReader(Bytes data) : m_data(data) {}

    std::size_t size() const { return m_data.size(); }
    Bytes data() const { return m_data; }

    bool has(std::size_t off, std::size_t len) const { return off <= m_data.size() && len <= m_data.size() - off; }

    std::optional<std::uint8_t> le8(std::size_t off) const {
        if (!has(off, 1)) return std::nullopt;
        return u8(m_data[off]);
    }
    std::optional<std::uint16_t> le16(std::size_t off) const {
        if (!has(off, 2)) return std::nullopt;
        return static_cast<std::uint16_t>(u8(m_data[off]) | (u8(m_data[off + 1]) << 8));
    }
    std::optional<std::uint32_t> le32(std::size_t off) const {
        if (!has(off, 4)) return std::nullopt;
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | u8(m_data[off + static_cast<std::size_t>(i)]);
        return v;
    }
    std::optional<std::uint64_t> le64(std::size_t off) const {
        if (!has(off, 8)) return std::nullopt;
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | u8(m_data[off + static_cast<std::size_t>(i)]);
        return v;
    }
    // Overflow-safe: off + len is never computed.
    std::optional<Bytes> slice(std::size_t off, std::size_t len) const {
        if (!has(off, len)) return std::nullopt;
        return m_data.subspan(off, len);
    }
    // True when the bytes at off equal the ASCII text.
    bool matches(std::size_t off, std::string_view text) const {
        if (!has(off, text.size())) return false;
        return std::memcmp(m_data.data() + off, text.data(), text.size()) == 0;
    }

    // Unchecked variants for callers that already proved the range (hot loops).
    std::uint16_t le16Unchecked(std::size_t off) const {
        return static_cast<std::uint16_t>(u8(m_data[off]) | (u8(m_data[off + 1]) << 8));
    }
    std::uint32_t le32Unchecked(std::size_t off) const {
        return static_cast<std::uint32_t>(le16Unchecked(off)) | (static_cast<std::uint32_t>(le16Unchecked(off + 2)) << 16);
    }

private:
    Bytes m_data;
};

// Writes little-endian fields into a mutable span; used by test builders and the log writer.
inline void putLe16(std::span<std::byte> s, std::size_t off, std::uint16_t v) {
    s[off] = std::byte(v & 0xFF);
    s[off + 1] = std::byte(v >> 8);
}
inline void putLe32(std::span<std::byte> s, std::size_t off, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) s[off + i] = std::byte((v >> (8 * i)) & 0xFF);
}
inline void putLe64(std::span<std::byte> s, std::size_t off, std::uint64_t v) {
    for (std::size_t i = 0; i < 8; ++i) s[off + i] = std::byte((v >> (8 * i)) & 0xFF);
}
inline void putAscii(std::span<std::byte> s, std::size_t off, std::string_view text) {
    std::memcpy(s.data() + off, text.data(), text.size());
}

} // namespace snapmend
