// A settable clock for tests: time moves only when the test, a sleep or a reading moves it.
#pragma once

#include "link/clock.h"

#include <atomic>
#include <cstdint>

namespace tarq::test {

// stepMs > 0: each reading moves it on by that (timers run out in a few reads); atomic for peers.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(std::int64_t startMs = 5'000'000'000, std::int64_t stepMs = 0)
        : now_(startMs), step_(stepMs) {}
    std::int64_t nowMs() override { return now_.fetch_add(step_); }
    void sleepMs(std::uint32_t ms) override { now_ += ms; }
    void advanceMs(std::int64_t ms) { now_ += ms; }
    std::int64_t peek() const { return now_; }  // the time, without a step
    std::int64_t step() const { return step_; } // added at every reading

  private:
    std::atomic<std::int64_t> now_;
    const std::int64_t step_;
};

// Installs a clock for the lifetime of a scope.
class ScopedClock {
  public:
    explicit ScopedClock(Clock& clock) { setClock(&clock); }
    ~ScopedClock() { setClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

} // namespace tarq::test
