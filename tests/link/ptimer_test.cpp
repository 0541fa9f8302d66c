#include "link/ptimer.h"
#include "tests/support/clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tarq {
namespace {

struct TimerCase {
    const char* name;
    std::int64_t startMs; // clock reading when the timer starts
    std::uint32_t duration;
    std::int64_t elapsed; // time moved on before the check
    int expected;
};

class TimerTable : public ::testing::TestWithParam<TimerCase> {};

// Each row also restarts the timed-out or running timer: the same duration counts again.
TEST_P(TimerTable, ReportsTimeoutFromDurationOn) {
    const TimerCase& c = GetParam();
    test::ManualClock clock(c.startMs);
    test::ScopedClock scope(clock);
    PTIMER_TIMER timer;
    PTIMER_Start(&timer, c.duration);
    clock.advanceMs(c.elapsed);
    EXPECT_EQ(PTIMER_IsTimeout(&timer), c.expected);
    PTIMER_Restart(&timer);
    clock.advanceMs(c.elapsed);
    EXPECT_EQ(PTIMER_IsTimeout(&timer), c.expected);
}

// Start values near 2^31 and 2^32 put the 32-bit tick count across its sign change and its
// wrap while the timer runs.
INSTANTIATE_TEST_SUITE_P(
    Ticks, TimerTable,
    ::testing::Values(TimerCase{"ZeroAtOnce", 5'000'000'000, 0, 0, 1},
                      TimerCase{"JustBefore", 5'000'000'000, 4000, 3999, 0},
                      TimerCase{"Exactly", 5'000'000'000, 600, 600, 1},
                      TimerCase{"AcrossSignChange", 0x7FFF'FF00, 4000, 3999, 0},
                      TimerCase{"AcrossSignChangeOut", 0x7FFF'FF00, 4000, 4000, 1},
                      TimerCase{"AcrossWrap", 0xFFFF'FF00, 600, 599, 0},
                      TimerCase{"AcrossWrapOut", 0xFFFF'FF00, 600, 601, 1}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace tarq
