// How engines talk to the person: progress, status text, messages and Yes/No questions.
// The GUI marshals these to its thread, the CLI prints them, tests script them.
#pragma once

#include <cstdint>
#include <string_view>

namespace snapmend {

// Every message box of the program carries this caption.
inline constexpr std::string_view kMessageCaption = "Message";

enum class MessageKind : std::uint8_t { Information, Warning, Error };
enum class Answer : std::uint8_t { Yes, No };

class EngineSink {
public:
    virtual ~EngineSink() = default;
    // done of total units; callers pass it through a ProgressThrottle.
    virtual void progress(std::uint64_t done, std::uint64_t total) = 0;
    // The status line ("Validating Partition ...", "Calculating Partition Params: ").
    virtual void status(std::string_view text) = 0;
    virtual void message(MessageKind kind, std::string_view text) = 0;
    // Blocks the worker; answers No once stop is requested.
    virtual Answer ask(std::string_view question) = 0;
};

// Swallows everything and answers No; for callers that do not report.
class NullSink final : public EngineSink {
public:
    void progress(std::uint64_t, std::uint64_t) override {}
    void status(std::string_view) override {}
    void message(MessageKind, std::string_view) override {}
    Answer ask(std::string_view) override { return Answer::No; }
};

} // namespace snapmend
