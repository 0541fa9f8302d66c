#include "link/clock.h"

#include <chrono>
#include <thread>

namespace tarq {
namespace {

class SteadyClock final : public Clock {
  public:
    std::int64_t nowMs() override {
        using namespace std::chrono;
        // Offset keeps early-boot (or fresh Wine) readings far from 0, which the engine uses as
        // "timer not armed".
        constexpr std::int64_t kOffsetMs = 1'000'000'000;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() +
               kOffsetMs;
    }
    void sleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

SteadyClock realClock;
Clock* current = &realClock;

} // namespace

Clock& activeClock() {
    return *current;
}
void setClock(Clock* clock) {
    current = clock ? clock : &realClock;
}

} // namespace tarq
