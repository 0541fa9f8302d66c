// Cost of the message path per terminal message and per answer: time, and heap allocations
// (every tree node, value and children array is its own allocation, made and freed per message).
// Usage: tarq_protocol_bench [rounds=200000]
#include "bench/alloc_count.h"
#include "core/context.h"
#include "protocol/answer.h"
#include "protocol/ber.h"
#include "protocol/parser.h"
#include "protocol/tags.h"
#include "tests/support/clock.h"
#include "tests/support/terminal.h"

#include <algorithm>
#include <array>
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

void receive(const char* name, const Bytes& message, int rounds) {
    std::array<std::uint8_t, 1024> buffer{};
    std::copy(message.begin(), message.end(), buffer.begin());
    const std::size_t before = bench::allocations;
    const auto start = Steady::now();
    for (int i = 0; i < rounds; ++i) {
        const int n = BER_check(buffer.data(), buffer.size());
        ctx.receivedLength = n;
        parserHandleTlv(BER2TLV(buffer.data(), static_cast<std::uint32_t>(n)));
    }
    const double ns =
        std::chrono::duration<double, std::nano>(Steady::now() - start).count() / rounds;
    std::fprintf(stderr, "receive %-22s %5zu bytes  %8.0f ns/message  %5.1f allocations/message\n",
                 name, message.size(), ns,
                 static_cast<double>(bench::allocations - before) / rounds);
}

void answer(const char* name, std::uint32_t type, int rounds) {
    std::array<std::uint8_t, 90> buffer{};
    SA_ANSWER a;
    a.answer_ID = type;
    const std::size_t before = bench::allocations;
    const auto start = Steady::now();
    std::uint32_t n = 0;
    for (int i = 0; i < rounds; ++i) {
        TLV* tree = parserSendAnswer(&a);
        n = TLV2BER(tree, buffer.data(), buffer.size());
        TLV_free(&tree);
    }
    const double ns =
        std::chrono::duration<double, std::nano>(Steady::now() - start).count() / rounds;
    std::fprintf(stderr, "answer  %-22s %5u bytes  %8.0f ns/answer   %5.1f allocations/answer\n",
                 name, n, ns, static_cast<double>(bench::allocations - before) / rounds);
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200000;
    test::ManualClock clock; // the receipt-number pause must not really sleep
    test::ScopedClock scoped(clock);
    // The interpreter's progress lines would dominate; results go to standard error.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    initGlobals();
    const Bytes card = message(
        {element(PTAG_TERM_CARD, Bytes(19, 0x45)), element(PTAG_TRACK2_LENGTH, {0x00, 0x13})});
    receive("open", message(PTAG_TERM_OPEN, {}), rounds);
    receive("status line", message(PTAG_STATUS1, Bytes(20, 'A')), rounds);
    receive("card + track2 length", card, rounds);
    receive("completed", message(PTAG_TRANS_COMPLETED, {0x00, 0x05}), rounds);
    receive("receipt (1001 bytes)", message(PTAG_TERM_RECEIPT, Bytes(1001, 'k')), rounds / 10);
    answer("open", PANSWER_OPEN, rounds);
    answer("currency code", PANSWER_CURRENCYCODE, rounds);
    ctx.request.transactionType = 0;
    answer("payment record", PANSWER_NORTRANS, rounds);
    ctx.request.transactionType = -1;
    answer("payment with card", PANSWER_NORTRANS, rounds);
    parserFreeEvent();
    return 0;
}
