#include "app/cli/console_sink.h"

#include <iostream>
#include <unistd.h>

namespace snapmend::cli {

ConsoleSink::ConsoleSink(std::optional<Answer> preset, std::stop_token stop)
    : m_preset(preset), m_stop(std::move(stop)), m_tty(::isatty(STDERR_FILENO) != 0) {}

void ConsoleSink::progress(std::uint64_t done, std::uint64_t total) {
    std::lock_guard lock(m_mutex);
    const int percent = total == 0 ? 100 : static_cast<int>((static_cast<long double>(done) * 100) / total);
    if (m_tty) {
        std::fprintf(stderr, "\r%s%3d%% (%llu / %llu)", m_status.c_str(), percent,
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
        m_lineOpen = true;
    } else if (percent / 10 != m_lastPercent / 10 || done >= total) {
        // Without a terminal, a line every ten percent keeps logs readable.
        std::fprintf(stderr, "%s%d%% (%llu / %llu)\n", m_status.c_str(), percent,
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    }
    m_lastPercent = percent;
    std::fflush(stderr);
}

void ConsoleSink::status(std::string_view text) {
    std::lock_guard lock(m_mutex);
    if (m_lineOpen) std::fputc('\n', stderr);
    m_lineOpen = false;
    m_status = std::string(text);
    m_lastPercent = kNoPercent;
    std::fprintf(stderr, "%s\n", m_status.c_str());
    if (!m_status.empty() && m_status.back() != ' ') m_status += ' ';
}

void ConsoleSink::message(MessageKind kind, std::string_view text) {
    std::lock_guard lock(m_mutex);
    if (m_lineOpen) std::fputc('\n', stderr);
    m_lineOpen = false;
    const char* tag = kind == MessageKind::Error ? "error" : kind == MessageKind::Warning ? "warning" : "message";
    std::fprintf(stderr, "[%s] %.*s\n", tag, static_cast<int>(text.size()), text.data());
}

Answer ConsoleSink::ask(std::string_view question) {
    std::lock_guard lock(m_mutex);
    if (m_lineOpen) std::fputc('\n', stderr);
    m_lineOpen = false;
    std::fprintf(stderr, "[question] %.*s\n", static_cast<int>(question.size()), question.data());
    if (m_stop.stop_requested()) return Answer::No;
    if (m_preset) {
        std::fprintf(stderr, "  -> %s\n", *m_preset == Answer::Yes ? "Yes" : "No");
        return *m_preset;
    }
    if (!::isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "  -> No (standard input is not a terminal; use --yes to answer Yes)\n");
        return Answer::No;
    }
    for (;;) {
        std::fprintf(stderr, "Yes/No? ");
        std::fflush(stderr);
        std::string line;
        if (!std::getline(std::cin, line)) return Answer::No;
        if (line == "y" || line == "Y" || line == "yes" || line == "Yes") return Answer::Yes;
        if (line == "n" || line == "N" || line == "no" || line == "No") return Answer::No;
    }
}

void ConsoleSink::finishLine() {
    std::lock_guard lock(m_mutex);
    if (m_lineOpen) std::fputc('\n', stderr);
    m_lineOpen = false;
}

} // namespace snapmend::cli
