#include "common/progress_throttle.h"

namespace snapmend {

ProgressThrottle::ProgressThrottle(EngineSink& sink, std::chrono::milliseconds interval, Clock clock)
    : m_sink(sink), m_interval(interval), m_clock(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); }) {}

void ProgressThrottle::update(std::uint64_t done, std::uint64_t total) {
    m_done = done;
    m_total = total;
    const auto now = m_clock();
    if (!m_sentAny || done >= total || now - m_last >= m_interval) {
        m_sink.progress(done, total);
        m_last = now;
        m_sentAny = true;
        m_pending = false;
    } else {
        m_pending = true;
    }
}

void ProgressThrottle::flush() {
    if (m_pending) {
        m_sink.progress(m_done, m_total);
        m_last = m_clock();
        m_pending = false;
    }
}

} // namespace snapmend
