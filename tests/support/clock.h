// A settable clock for tests: time moves only when the test (or a sleep) moves it.
#pragma once

#include "link/clock.h"

#include <cstdint>

namespace tarq::test {

class ManualClock final : public Clock {
  public:
    explicit ManualClock(std::int64_t startMs = 5'000'000'000) : now_(startMs) {}
    std::int64_t nowMs() override { return now_; }
    void sleepMs(std::uint32_t ms) override {
        slept_ += ms;
        now_ += ms;
    }
    void advanceMs(std::int64_t ms) { now_ += ms; }
    void advanceSeconds(std::int64_t s) { now_ += s * 1000; }
    std::int64_t totalSleptMs() const { return slept_; }

  private:
    std::int64_t now_;
    std::int64_t slept_ = 0;
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
