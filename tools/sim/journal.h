// What the simulated terminal concluded, for a soak runner on the other side of the line: the
// requests it took, the receipts and results it sent (and whether the link delivered them), and
// the link faults it injected. Filled by the terminal's thread, read by the runner's.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tarq::sim {

struct JournalEvent {
    enum class Kind { Payment, NotReady, Admin, Receipt, Result, Fault } kind;
    int value = 0;         // Admin: command code; Result: result byte
    std::uint8_t seq = 0;  // Payment, NotReady, Admin: sequence number of the request's frame
    bool delivered = true; // Receipt, Result: acknowledged by the ECR
    std::string text;      // Receipt: its text; Fault: the fault's name
    std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();

    JournalEvent(Kind k, int v = 0, std::uint8_t s = 0, bool d = true, std::string t = {})
        : kind(k), value(v), seq(s), delivered(d), text(std::move(t)) {}
};

class Journal {
  public:
    void add(JournalEvent event) {
        std::lock_guard lock(mutex_);
        if (event.kind == JournalEvent::Kind::Fault) ++faults_[event.text];
        events_.push_back(std::move(event));
    }
    // The events since the last take.
    std::vector<JournalEvent> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }
    std::map<std::string, int> faultCounts() {
        std::lock_guard lock(mutex_);
        return faults_;
    }

  private:
    std::mutex mutex_;
    std::vector<JournalEvent> events_;
    std::map<std::string, int> faults_;
};

} // namespace tarq::sim
