// An EngineSink for tests: records everything and answers questions from a script.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/engine_sink.h"

namespace snapmend::test {

class ScriptedSink : public EngineSink {
public:
    struct Message {
        MessageKind kind;
        std::string text;
    };

    void progress(std::uint64_t done, std::uint64_t total) override {
        std::function<void(std::uint64_t, std::uint64_t)> hook;
        {
            std::lock_guard lock(m_mutex);
            progressCalls.emplace_back(done, total);
            hook = onProgress;
        }
        if (hook) hook(done, total);
    }
    void status(std::string_view text) override {
        std::lock_guard lock(m_mutex);
        statuses.emplace_back(text);
    }
    void message(MessageKind kind, std::string_view text) override {
        std::lock_guard lock(m_mutex);
        messages.push_back({kind, std::string(text)});
    }
    Answer ask(std::string_view question) override {
        std::lock_guard lock(m_mutex);
        questions.emplace_back(question);
        if (answers.empty()) return Answer::No;
        const Answer a = answers.front();
        answers.pop_front();
        return a;
    }

    std::vector<std::pair<std::uint64_t, std::uint64_t>> progressCalls;
    std::vector<std::string> statuses;
    std::vector<Message> messages;
    std::vector<std::string> questions;
    std::deque<Answer> answers;
    // Runs on every progress call, for example to request stop part-way.
    std::function<void(std::uint64_t, std::uint64_t)> onProgress;

private:
    std::mutex m_mutex;
};

} // namespace snapmend::test
