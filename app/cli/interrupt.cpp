#include "app/cli/interrupt.h"

#include <csignal>
#include <cstdio>

namespace snapmend::cli {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);  // our own wake-up at the end
    return set;
}

} // namespace

StopOnInterrupt::StopOnInterrupt() {
    // Blocked in every thread; one waiter takes them with sigwait.
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, &m_previous);
    m_waiter = std::thread([this] {
        const sigset_t waitSet = stopSignals();
        for (;;) {
            int sig = 0;
            if (sigwait(&waitSet, &sig) != 0) continue;
            if (sig == SIGUSR1) return;
            if (!m_source.stop_requested()) {
                std::fputs("\nStopping: keeping what was found so far...\n", stderr);
                m_source.request_stop();
            }
        }
    });
}

StopOnInterrupt::~StopOnInterrupt() {
    pthread_kill(m_waiter.native_handle(), SIGUSR1);
    m_waiter.join();
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

} // namespace snapmend::cli
