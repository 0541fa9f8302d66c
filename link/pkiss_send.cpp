// Sending side of the link: build a numbered frame, write it, and wait for its answer,
// sending it again on NAK or silence while serving the terminal's own frames.
#include "link/pkiss_internal.h"
#include "link/wipe.h"
#include "link/wiretap.h"

namespace tarq {
namespace {

constexpr int kWackReads = 50;

} // namespace

void PKISS_BuildFrame(PKISS_LINK* link, const std::uint8_t* data, std::uint32_t length) {
    auto& f = link->txFrame;
    f[0] = PKISS_STX;
    if (PKISS_CheckState(link, PKISS_FIRST_SEND)) {
        PKISS_ClearState(link, PKISS_FIRST_SEND);
        link->txSeq = 0xFF;
    } else {
        PKISS_NewSeq(link->txSeq);
    }
    f[1] = link->txSeq;
    const std::uint32_t n = length > 0 ? PKISS_Stuff(f.data() + 2, data, length) : 0;
    f[2 + n] = PKISS_ETX;
    const std::uint32_t crc = PKISS_CalcCrc(f.data() + 1, n + 2);
    f[3 + n] = static_cast<std::uint8_t>(crc & 0xFFU);
    f[4 + n] = static_cast<std::uint8_t>(crc >> 8);
    link->txFrameLength = n + 5;
    link->txCount = 0;
}

int PKISS_SendFrame(PKISS_LINK* link) {
    const bool written = PRS232_Send(link->port, link->txFrame.data(), link->txFrameLength) == 1;
    // The first write decides whether the send starts at all. After that a failed write counts
    // as a transmission too, or a port that keeps refusing writes would keep the send going
    // for ever.
    if (!written && link->txCount == 0) return 0;
    if (link->txCount == 0) {
        PTIMER_Start(&link->ackTimer, PKISS_ACK_TIMEOUT);
    } else {
        PTIMER_Restart(&link->ackTimer);
    }
    ++link->txCount;
    if (written)
        wireTap(TapEvent::FrameOut, link->txFrame.data(), link->txFrameLength, link->txCount);
    return written ? 1 : 0;
}

int PKISS_RecvFirstByte(PKISS_LINK* link, std::uint8_t* byte) {
    for (;;) {
        if (PTIMER_IsTimeout(&link->ackTimer)) return 0;
        std::uint32_t n = 1;
        PRS232_Recv(link->port, byte, &n);
        if (n == 1) return 1;
    }
}

int PKISS_Transmit(PKISS_LINK* link) {
    int result = 0;
    int reads = 0;
    do {
        ++reads;
        std::uint8_t byte = 0;
        if (PKISS_RecvFirstByte(link, &byte) != 1) continue;
        switch (byte) {
        case PKISS_STX:
            PKISS_HandleIframe(link); // the terminal's own frame, served while we wait
            break;
        case PKISS_ACK: {
            std::uint8_t seq = 0;
            const bool withSeq = PKISS_RecvSeq(link, &seq) == 1;
            if (withSeq && seq == link->txSeq) result = 1;
            wireTap(TapEvent::AckIn, nullptr, 0, withSeq ? seq : -1);
            break;
        }
        case PKISS_WACK:
            result = PKISS_WACK_RESULT;
            wireTap(TapEvent::WackIn);
            break;
        case PKISS_NAK:
            wireTap(TapEvent::NakIn);
            PKISS_SendFrame(link);
            break;
        default:
            PKISS_ComCleanup(link);
            break;
        }
    } while (result == PKISS_WACK_RESULT && reads < kWackReads);
    return result;
}

int PKISS_Send(PKISS_LINK* link, const std::uint8_t* data, std::uint32_t length) {
    if (link == nullptr || link->port == nullptr) return 0;
    // The transmit frame has room for PKISS_MAX_DATA bytes, every one of them escaped.
    if (length > PKISS_MAX_DATA || (length > 0 && data == nullptr)) return 0;
    // The frame may carry card data: it is not kept once the send is over, however it ends.
    struct Wipe {
        PKISS_LINK* link;
        ~Wipe() { wipeBytes(link->txFrame.data(), link->txFrameLength); }
    } wipe{link};
    PKISS_BuildFrame(link, data, length);
    if (PKISS_SendFrame(link) != 1) return 0;
    for (;;) {
        const int r = PKISS_Transmit(link);
        if (r == PKISS_WACK_RESULT) return r;
        if (r != 0) return 1;
        if (link->txCount >= MAX_NUMBER_SEND) {
            wireTap(TapEvent::GaveUp, nullptr, 0, link->txCount);
            return 0;
        }
        if (PTIMER_IsTimeout(&link->ackTimer)) {
            wireTap(TapEvent::AckTimeout, nullptr, 0, link->txCount);
            PKISS_SendFrame(link);
            PTIMER_Restart(&link->ackTimer);
        }
    }
}

} // namespace tarq
