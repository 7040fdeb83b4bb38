// Turns Ctrl-C (SIGINT) and SIGTERM into a stop request, the way the GUI's "Stop" button does:
// the running engine ends within one block or record and keeps what it found.
#pragma once

#include <pthread.h>
#include <stop_token>
#include <thread>

namespace snapmend::cli {

class StopOnInterrupt {
public:
    StopOnInterrupt();
    ~StopOnInterrupt();
    StopOnInterrupt(const StopOnInterrupt&) = delete;
    StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;

    std::stop_token token() const { return m_source.get_token(); }
    bool interrupted() const { return m_source.stop_requested(); }

private:
    std::stop_source m_source;
    std::thread m_waiter;
    sigset_t m_previous{};
};

} // namespace snapmend::cli
