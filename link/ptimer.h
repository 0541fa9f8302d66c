// Millisecond tick timers on the monotonic clock seam.
#pragma once

#include <cstdint>

namespace tarq {

struct PTIMER_TIMER {
    std::int32_t start = 0;    // tick count when started or restarted
    std::int32_t duration = 0; // time-out in ticks (1 tick = 1 ms)
};

void PTIMER_Start(PTIMER_TIMER* timer, std::uint32_t ms);
void PTIMER_Restart(PTIMER_TIMER* timer);
int PTIMER_IsTimeout(const PTIMER_TIMER* timer);
// Milliseconds until the timer runs out; 0 once it has.
std::uint32_t PTIMER_Remaining(const PTIMER_TIMER* timer);

} // namespace tarq
