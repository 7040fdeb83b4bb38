// Forwards at most about ten progress updates a second to a sink, and always the last one,
// so a fast scanner cannot flood a terminal or a window.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "common/engine_sink.h"

namespace snapmend {

class ProgressThrottle {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit ProgressThrottle(EngineSink& sink, std::chrono::milliseconds interval = std::chrono::milliseconds(100),
                              Clock clock = {});

    // Forwards when the interval has passed since the last forwarded update, or when done == total.
    void update(std::uint64_t done, std::uint64_t total);
    // Forwards the most recent update if it was held back.
    void flush();

private:
    EngineSink& m_sink;
    std::chrono::milliseconds m_interval;
    Clock m_clock;
    std::chrono::steady_clock::time_point m_last{};
    bool m_sentAny = false;
    bool m_pending = false;
    std::uint64_t m_done = 0;
    std::uint64_t m_total = 0;
};

} // namespace snapmend
