// A small Result<T> with the member names of std::expected, so that moving to C++23 is a `using`.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <variant>

namespace snapmend {

// Corrupt structures and single unreadable blocks are soft: engines report them and go on.
// Io on open, NoSpace at the destination and Cancelled end a run.
enum class Errc : std::uint8_t { Io, Corrupt, Unsupported, NotFound, Cancelled, NoSpace, InvalidArgument };

inline constexpr std::uint64_t kNoSector = std::numeric_limits<std::uint64_t>::max();

struct Error {
    Errc code = Errc::Io;
    std::string detail;  // for people
    std::uint64_t sector = kNoSector;
};

inline Error makeError(Errc code, std::string detail, std::uint64_t sector = kNoSector) {
    return Error{code, std::move(detail), sector};
}

const char* errcName(Errc code);

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_v(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : m_v(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const { return m_v.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() & { return std::get<0>(m_v); }
    const T& value() const& { return std::get<0>(m_v); }
    T&& value() && { return std::get<0>(std::move(m_v)); }
    const Error& error() const { return std::get<1>(m_v); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    T value_or(T other) const { return has_value() ? value() : std::move(other); }

private:
    std::variant<T, Error> m_v;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : m_error(std::move(error)), m_ok(false) {}

    bool has_value() const { return m_ok; }
    explicit operator bool() const { return m_ok; }
    const Error& error() const { return m_error; }

private:
    Error m_error;
    bool m_ok = true;
};

} // namespace snapmend
