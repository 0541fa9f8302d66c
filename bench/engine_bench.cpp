// Cost of the transaction engine per loop iteration, and its heap use, over whole card payments
// against an in-process terminal (no serial line; the 200 ms and 600 ms pauses run on a settable
// clock and cost nothing). Figures go to standard error.
// Usage: tarq_engine_bench [payments=20000] [silent-iterations-per-payment=20]
#include "bench/alloc_count.h"
#include "core/context.h"
#include "engine/exchange.h"
#include "engine/table.h"
#include "protocol/tags.h"
#include "protocol/transport.h"
#include "tests/support/clock.h"
#include "tests/support/terminal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

using namespace tarq;
using Bytes = std::vector<std::uint8_t>;
using Steady = std::chrono::steady_clock;

using test::element;
using test::message;

// Replies to the currency code, the payment record and the receipt number, and stays silent for
// a while before the completion, so that idle iterations are measured too.
class Terminal final : public PipLink {
  public:
    explicit Terminal(int silent)
        : silent_(silent), status_(message({element(PTAG_STATUS1, Bytes(20, 'A'))})),
          card_(message({element(PTAG_TERM_CARD, Bytes(19, 0x45)),
                         element(PTAG_TRACK2_LENGTH, {0x00, 0x13})})),
          receipt_(message({element(PTAG_TERM_RECEIPT, Bytes(100, 'k'))})),
          completed_(message({element(PTAG_TRANS_COMPLETED, {0x00, 0x01})})) {
        queue_.reserve(8); // the terminal's own bookkeeping must not show in the figures
    }
    bool present() override { return true; }
    int send(const std::uint8_t* data, std::uint32_t length) override {
        const std::uint8_t tag = length > 2 ? data[2] : 0;
        if (tag == PTAG_CURRENCYCODE) {
            queue_.push_back(&status_);
            queue_.push_back(&card_);
        } else if (tag == PTAG_NORTRANS) {
            queue_.push_back(&receipt_);
        } else if (tag == PTAG_RECEIPTNUMBER) {
            pendingSilence_ = silent_;
            queue_.push_back(&completed_);
        }
        return 1;
    }
    std::uint32_t recv(std::uint8_t* buf, std::uint32_t size) override {
        // What the previous iteration allocated, by whether it carried a message.
        const std::size_t made = bench::allocations - allocationsAtLastRecv_;
        if (!lastDelivered_ && iterations > 0) {
            maxIdleAllocations = std::max(maxIdleAllocations, made);
            ++idleIterations;
        }
        ++iterations;
        allocationsAtLastRecv_ = bench::allocations;
        lastDelivered_ = false;
        if (head_ == queue_.size() || pendingSilence_ > 0) {
            if (pendingSilence_ > 0) --pendingSilence_;
            return 0;
        }
        const Bytes& m = *queue_[head_++];
        if (head_ == queue_.size()) {
            queue_.clear();
            head_ = 0;
        }
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(m.size(), size));
        std::copy_n(m.begin(), n, buf);
        lastDelivered_ = true;
        return n;
    }

    long iterations = 0;
    long idleIterations = 0;
    std::size_t maxIdleAllocations = 0;

  private:
    int silent_;
    int pendingSilence_ = 0;
    const Bytes status_, card_, receipt_, completed_;
    std::vector<const Bytes*> queue_;
    std::size_t head_ = 0;
    std::size_t allocationsAtLastRecv_ = 0;
    bool lastDelivered_ = false;
};

int abortQuery() {
    return 0;
}
int acceptCard(const char*) {
    return 1;
}
int printReceipt(int, const char*) {
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    const int payments = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    const int silent = argc > 2 ? std::max(0, std::atoi(argv[2])) : 20;
    test::ManualClock clock;
    test::ScopedClock scoped(clock);
    // The progress lines of the handlers and the interpreter would dominate.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    Terminal terminal(silent);
    pip_setLink(&terminal);
    ctx.getPosAbortEvent = abortQuery;
    ctx.trqSetCarddata = acceptCard;
    ctx.trqPrintReceipt = printReceipt;
    setupStateMachine();
    SA_setStateForTest(PSTATE_OPEN);

    // One payment first, so that what lives for the whole run (the last terminal event, buffers
    // of the terminal's queue) is already there.
    const auto pay = [] {
        return runPayment({.amount = 10000}) == 0 && SA_getState() == PSTATE_OPEN;
    };
    if (!pay()) return 1;
    const long liveBefore = bench::liveBlocks;
    const std::size_t allocationsBefore = bench::allocations;
    const long iterationsBefore = terminal.iterations;
    const long silentBefore = terminal.idleIterations;
    const auto start = Steady::now();
    for (int i = 0; i < payments; ++i) {
        if (!pay()) {
            std::fprintf(stderr, "payment %d ended with %d in state %d\n", i, ctx.gstResultData,
                         SA_getState());
            return 1;
        }
    }
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    std::fprintf(stderr, "payments                          %d (%ld loop iterations, %ld silent)\n",
                 payments, terminal.iterations - iterationsBefore,
                 terminal.idleIterations - silentBefore);
    std::fprintf(stderr, "time per payment                  %.1f us (pauses excluded)\n",
                 seconds * 1e6 / payments);
    std::fprintf(stderr, "time per loop iteration           %.0f ns\n",
                 seconds * 1e9 / static_cast<double>(terminal.iterations - iterationsBefore));
    std::fprintf(stderr, "heap allocations, silent iteration max %zu (goal 0)\n",
                 terminal.maxIdleAllocations);
    std::fprintf(stderr, "heap allocations per payment      %.1f (engine, codec and interpreter)\n",
                 static_cast<double>(bench::allocations - allocationsBefore) / payments);
    std::fprintf(stderr, "heap blocks gained over the run   %ld (goal 0)\n",
                 bench::liveBlocks - liveBefore);
    pip_setLink(nullptr);
    return 0;
}
