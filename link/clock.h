// The one time seam of the driver: every time stamp, tick and pause goes through here,
// so tests can run the 95 s, 10 s, 6 s and 4 s timers in milliseconds.
#pragma once

#include <cstdint>

namespace tarq {

class Clock {
  public:
    virtual ~Clock() = default;
    // Monotonic milliseconds; never jumps with the system clock.
    virtual std::int64_t nowMs() = 0;
    virtual void sleepMs(std::uint32_t ms) = 0;
};

// The clock in use: the real monotonic clock unless a test installed another.
Clock& activeClock();
// Installs a clock; nullptr restores the real one. The caller keeps ownership.
void setClock(Clock* clock);

inline std::int64_t nowMs() {
    return activeClock().nowMs();
}
// Whole seconds for the engine's time stamps (always well above zero, so 0 can mean "unset").
inline std::int64_t nowSeconds() {
    return activeClock().nowMs() / 1000;
}
inline void sleepMs(std::uint32_t ms) {
    activeClock().sleepMs(ms);
}

} // namespace tarq
