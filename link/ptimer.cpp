#include "link/ptimer.h"

#include "link/clock.h"

namespace tarq {
namespace {

// Milliseconds of the monotonic clock cut to 32 bits; differences are taken modulo 2^32, so
// a timer keeps working when the tick count wraps (every 49.7 days).
std::int32_t tickCount() {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(nowMs()));
}

} // namespace

void PTIMER_Start(PTIMER_TIMER* timer, std::uint32_t ms) {
    if (timer == nullptr) return;
    // 1000 ticks a second: the scaling is exact, but kept in unsigned arithmetic like the
    // duration it yields.
    const std::uint32_t ticks =
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms) * 1000U / 1000U);
    timer->duration = static_cast<std::int32_t>(ticks);
    timer->start = tickCount();
}

void PTIMER_Restart(PTIMER_TIMER* timer) {
    if (timer == nullptr) return;
    timer->start = tickCount();
}

namespace {

std::int32_t elapsedTicks(const PTIMER_TIMER* timer) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(tickCount()) -
                                     static_cast<std::uint32_t>(timer->start));
}

} // namespace

int PTIMER_IsTimeout(const PTIMER_TIMER* timer) {
    if (timer == nullptr) return 1;
    return elapsedTicks(timer) >= timer->duration ? 1 : 0;
}

std::uint32_t PTIMER_Remaining(const PTIMER_TIMER* timer) {
    if (timer == nullptr) return 0;
    const std::int64_t left = static_cast<std::int64_t>(timer->duration) - elapsedTicks(timer);
    return left > 0 ? static_cast<std::uint32_t>(left) : 0U;
}

} // namespace tarq
