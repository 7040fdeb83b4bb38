// The command line's EngineSink: progress and status on stderr (redrawn in place on a terminal),
// messages on stderr, questions answered from --yes/--no or asked on the terminal.
#pragma once

#include <cstdio>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "common/engine_sink.h"

namespace snapmend::cli {

class ConsoleSink final : public EngineSink {
public:
    // preset: the answer given by --yes or --no; without it, questions are asked on a terminal and
    // refused when standard input is not one.
    explicit ConsoleSink(std::optional<Answer> preset = std::nullopt, std::stop_token stop = {});

    void progress(std::uint64_t done, std::uint64_t total) override;
    void status(std::string_view text) override;
    void message(MessageKind kind, std::string_view text) override;
    Answer ask(std::string_view question) override;

    // Ends a progress line that was drawn in place.
    void finishLine();

private:
    std::mutex m_mutex;
    std::optional<Answer> m_preset;
    std::stop_token m_stop;
    bool m_tty;
    bool m_lineOpen = false;
    std::string m_status;
    static constexpr int kNoPercent = -100;  // nothing shown yet for this status
    int m_lastPercent = kNoPercent;
};

} // namespace snapmend::cli
