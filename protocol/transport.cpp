#include "protocol/transport.h"

#include "core/context.h"
#include "link/clock.h"
#include "link/pkiss.h"
#include "link/wipe.h"
#include "protocol/answer.h"
#include "protocol/ber.h"
#include "protocol/parser.h"

#include <array>

namespace tarq {
namespace {

class KissLink final : public PipLink {
  public:
    bool present() override { return ctx.pKiss != nullptr; }
    int send(const std::uint8_t* data, std::uint32_t length) override {
        return PKISS_Send(ctx.pKiss, data, length);
    }
    std::uint32_t recv(std::uint8_t* buf, std::uint32_t size) override {
        return PKISS_Recv(ctx.pKiss, buf, size);
    }
};

KissLink kissLink;
PipLink* link = &kissLink;

std::array<std::uint8_t, PIP_SEND_SIZE> sendBuffer{};
std::array<std::uint8_t, PIP_RECV_SIZE> recvBuffer{};

} // namespace

void pip_setLink(PipLink* newLink) {
    link = newLink ? newLink : &kissLink;
}

int pip_send_tlv(std::uint8_t* buffer) {
    if (!link->present()) return PKISS_NOT_ACKNOWLEDGED;
    // The buffer is blank-filled behind the message; only the first object goes out.
    const int size = BER_check(buffer, PIP_SEND_SIZE);
    if (size <= 0) return PKISS_NOT_ACKNOWLEDGED;
    int rc = link->send(buffer, static_cast<std::uint32_t>(size));
    for (int repeats = 0; rc == PKISS_WACK_RESULT && repeats < PIP_WACK_RETRIES; ++repeats) {
        sleepMs(PIP_WACK_SLEEP);
        rc = link->send(buffer, static_cast<std::uint32_t>(size));
    }
    return rc;
}

int pip_recv_frame(std::uint8_t* buffer) {
    const std::uint32_t n = link->recv(buffer, PIP_RECV_SIZE); // 0: the check rejects it
    return static_cast<int>(n > PIP_RECV_SIZE ? PIP_RECV_SIZE : n);
}

int pip_receive(std::uint8_t* buffer) {
    if (!link->present()) return BER_INVALID;
    const int n = pip_recv_frame(buffer);
    return BER_check(buffer, static_cast<std::uint32_t>(n));
}

SA_EVENT* getECREvent() {
    recvBuffer.fill(0);
    const int n = pip_receive(recvBuffer.data());
    ctx.receivedLength = n;
    if (n <= 0) return nullptr;
    // Any delivered message counts as terminal activity, even one that fails to decode.
    ctx.lastTerminalActivity = nowSeconds();
    TLV* tree = BER2TLV(recvBuffer.data(), static_cast<std::uint32_t>(n));
    wipeBytes(recvBuffer.data(), recvBuffer.size()); // the terminal's card data is in the tree
    if (!tree) return nullptr;
    return parserHandleTlv(tree);
}

int sendEvent(SA_ANSWER* answer) {
    if (!answer) return 0;
    return sendECREvent(answer);
}

int sendECREvent(SA_ANSWER* answer) {
    sendBuffer.fill(0x20);
    TLV* tree = parserSendAnswer(answer);
    if (!tree) return 0;
    const std::uint32_t len = TLV2BER(tree, sendBuffer.data(), PIP_SEND_SIZE);
    TLV_free(&tree);
    ctx.lastSendTime = nowSeconds();
    // A manually entered card travels in the message: it does not stay here after the send.
    const int sent = len == 0 ? 0 : pip_send_tlv(sendBuffer.data());
    wipeBytes(sendBuffer.data(), sendBuffer.size());
    return sent;
}

} // namespace tarq
