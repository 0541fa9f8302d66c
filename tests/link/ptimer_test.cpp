#include "link/ptimer.h"
#include "tests/support/manual_clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tarq {
namespace {

using test::ManualClock;
using test::ScopedClock;

struct TimerCase {
    const char* name;
    std::int64_t startMs; // clock reading when the timer starts
    std::uint32_t duration;
    std::int64_t elapsed; // time moved on before the test
    int expected;
};

class TimerTable : public ::testing::TestWithParam<TimerCase> {};

TEST_P(TimerTable, ReportsTimeoutFromDurationOn) {
    const TimerCase& c = GetParam();
    ManualClock clock(c.startMs);
    ScopedClock scope(clock);
    PTIMER_TIMER timer;
    PTIMER_Start(&timer, c.duration);
    clock.advanceMs(c.elapsed);
    EXPECT_EQ(PTIMER_IsTimeout(&timer), c.expected);
}

// Start values near 2^31 and 2^32 put the 32-bit tick count across its sign change and its
// wrap while the timer runs.
INSTANTIATE_TEST_SUITE_P(
    Ticks, TimerTable,
    ::testing::Values(TimerCase{"ZeroAtOnce", 5'000'000'000, 0, 0, 1},
                      TimerCase{"JustBefore", 5'000'000'000, 600, 599, 0},
                      TimerCase{"Exactly", 5'000'000'000, 600, 600, 1},
                      TimerCase{"Later", 5'000'000'000, 600, 60'000, 1},
                      TimerCase{"AckWait", 5'000'000'000, 4000, 3999, 0},
                      TimerCase{"AcrossSignChange", 0x7FFF'FF00, 4000, 3999, 0},
                      TimerCase{"AcrossSignChangeOut", 0x7FFF'FF00, 4000, 4000, 1},
                      TimerCase{"AcrossWrap", 0xFFFF'FF00, 600, 599, 0},
                      TimerCase{"AcrossWrapOut", 0xFFFF'FF00, 600, 601, 1}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Timer, RestartAfterTimeoutWaitsTheSameDurationAgain) {
    ManualClock clock;
    ScopedClock scope(clock);
    PTIMER_TIMER timer;
    PTIMER_Start(&timer, 4000);
    clock.advanceMs(4500);
    ASSERT_EQ(PTIMER_IsTimeout(&timer), 1);
    PTIMER_Restart(&timer);
    EXPECT_EQ(PTIMER_IsTimeout(&timer), 0);
    clock.advanceMs(3999);
    EXPECT_EQ(PTIMER_IsTimeout(&timer), 0);
    clock.advanceMs(1);
    EXPECT_EQ(PTIMER_IsTimeout(&timer), 1);
}

} // namespace
} // namespace tarq
