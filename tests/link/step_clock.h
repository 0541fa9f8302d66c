// A clock for link tests over a real line: every reading moves it on by a fixed step, so the
// 4000 ms and 600 ms timers run out after a handful of real ~41 ms port reads instead of
// seconds. Thread-safe, so a scripted peer may look at the time (peek) without moving it.
#pragma once

#include "link/clock.h"

#include <atomic>
#include <cstdint>

namespace tarq::test {

class StepClock final : public Clock {
  public:
    explicit StepClock(std::int64_t stepMs, std::int64_t startMs = 7'000'000'000)
        : now_(startMs), step_(stepMs) {}
    std::int64_t nowMs() override { return now_.fetch_add(step_); }
    void sleepMs(std::uint32_t ms) override { now_ += ms; }
    std::int64_t peek() const { return now_.load(); }
    std::int64_t step() const { return step_; }

  private:
    std::atomic<std::int64_t> now_;
    const std::int64_t step_;
};

} // namespace tarq::test
