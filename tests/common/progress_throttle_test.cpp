#include <gtest/gtest.h>

#include "common/progress_throttle.h"
#include "tests/support/scripted_sink.h"

namespace snapmend {
namespace {

TEST(ProgressThrottle, ForwardsFirstAtMostOnePerIntervalAndAlwaysTheLast) {
    test::ScriptedSink sink;
    auto now = std::chrono::steady_clock::time_point{};
    ProgressThrottle throttle(sink, std::chrono::milliseconds(100), [&] { return now; });

    throttle.update(0, 1000);  // first: forwarded
    for (std::uint64_t i = 1; i < 500; ++i) {
        now += std::chrono::milliseconds(1);
        throttle.update(i, 1000);  // 499 ms: about five more
    }
    throttle.flush();  // the held-back 499 arrives
    now += std::chrono::milliseconds(1);
    throttle.update(1000, 1000);  // completion is never held back

    ASSERT_GE(sink.progressCalls.size(), 5u);
    EXPECT_LE(sink.progressCalls.size(), 9u);
    EXPECT_EQ(sink.progressCalls.front(), (std::pair<std::uint64_t, std::uint64_t>{0, 1000}));
    EXPECT_EQ(sink.progressCalls[sink.progressCalls.size() - 2].first, 499u);
    EXPECT_EQ(sink.progressCalls.back(), (std::pair<std::uint64_t, std::uint64_t>{1000, 1000}));
}

} // namespace
} // namespace snapmend
