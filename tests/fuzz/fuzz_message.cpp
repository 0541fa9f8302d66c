// Link data blocks through the receive path as the transport feeds it, and an answer chosen by the
// first byte. Out-of-bounds accesses and leaks are the sanitizers' findings; bad encodings trap.
#include "core/context.h"
#include "protocol/answer.h"
#include "protocol/ber.h"
#include "protocol/parser.h"
#include "tests/support/clock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static tarq::test::ManualClock clock; // the receipt-number pause must not really sleep
    tarq::setClock(&clock);
    return std::freopen("/dev/null", "w", stdout) ? 0 : 1; // the interpreter's progress lines
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 1024) return 0; // the transport's receive buffer
    using namespace tarq;
    ctx.requestKind = (size & 1) ? RequestKind::payment : RequestKind::admin;
    if (const int checked = BER_check(data, static_cast<std::uint32_t>(size)); checked > 0) {
        ctx.receivedLength = checked;
        TLV* tree = BER2TLV(data, static_cast<std::uint32_t>(checked));
        std::array<std::uint8_t, 2048> out{};
        const std::uint32_t n = tree ? TLV2BER(tree, out.data(), out.size()) : 0;
        if (n != 0 && BER_check(out.data(), n) != static_cast<int>(n)) __builtin_trap();
        parserHandleTlv(tree);
    }
    SA_ANSWER answer{.answer_ID = data[0] % 20u};
    if (TLV* reply = parserSendAnswer(&answer)) {
        std::array<std::uint8_t, 90> out{}; // the transport's send buffer
        const std::uint32_t n = TLV2BER(reply, out.data(), out.size());
        if (n == 0 || BER_check(out.data(), out.size()) != static_cast<int>(n)) __builtin_trap();
        TLV_free(&reply);
    }
    return 0;
}
