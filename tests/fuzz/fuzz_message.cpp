// Feeds arbitrary link data blocks through the receive path exactly as the transport does, and
// builds an answer chosen by the first byte. Any out-of-bounds access or leak is a finding of the
// sanitizers; inconsistent encodings trap.
#include "core/context.h"
#include "protocol/answer.h"
#include "protocol/ber.h"
#include "protocol/parser.h"
#include "tests/support/clock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

constexpr std::size_t kReceiveSize = 1024; // the transport's receive buffer
constexpr std::uint32_t kSendSize = 90;    // the transport's send buffer

void checkEncoding(const tarq::TLV* tree) {
    std::array<std::uint8_t, 2048> out{};
    const std::uint32_t n = tarq::TLV2BER(tree, out.data(), out.size());
    if (n != 0 && tarq::BER_check(out.data(), n) != static_cast<int>(n)) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static tarq::test::ManualClock clock; // the receipt-number pause must not really sleep
    tarq::setClock(&clock);
    if (!std::freopen("/dev/null", "w", stdout)) return 0; // the interpreter's progress lines
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kReceiveSize) return 0;
    using namespace tarq;
    ctx.requestKind = (size & 1) ? 1 : 2;
    const auto n = static_cast<std::uint32_t>(size);
    const int checked = BER_check(data, n);
    if (checked > 0) {
        ctx.receivedLength = checked;
        TLV* tree = BER2TLV(data, static_cast<std::uint32_t>(checked));
        if (tree) checkEncoding(tree);
        parserHandleTlv(tree);
    }
    if (size >= 1) {
        SA_ANSWER answer;
        answer.answer_ID = data[0] % 20;
        TLV* reply = parserSendAnswer(&answer);
        if (reply) {
            std::array<std::uint8_t, kSendSize> out{};
            const std::uint32_t len = TLV2BER(reply, out.data(), kSendSize);
            if (len == 0 || BER_check(out.data(), kSendSize) != static_cast<int>(len))
                __builtin_trap();
            TLV_free(&reply);
        }
    }
    return 0;
}
