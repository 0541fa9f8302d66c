// Receiving side of the link: wait for a frame, check it, answer ACK, NAK or WACK, and hand
// its data to the caller. No input on the line can make it write past any buffer.
#include "link/pkiss_internal.h"
#include "link/wipe.h"
#include "link/wiretap.h"

#include <algorithm>
#include <cstring>

namespace tarq {
namespace {

// Receive-frame bytes the data loop may fill: the two CRC bytes must still fit behind it.
constexpr std::uint32_t kDataRoom = PKISS_FRAME_SIZE - 2;
// Bytes of an oversized frame read (and thrown away) looking for its end before giving up:
// enough for a frame twice the largest size, while an endless stream still ends.
constexpr std::uint32_t kDiscardMax = 2 * PKISS_FRAME_SIZE;

void acceptData(PKISS_LINK* link) {
    // Only verified frames come here: their data is within the limit, so it fits.
    link->rxDataLength =
        PKISS_UnStuff(link->rxData.data(), link->rxFrame.data() + 2, link->rxFrameLength - 5);
}

std::uint32_t deliver(PKISS_LINK* link, std::uint8_t* buf, std::uint32_t size) {
    const std::uint32_t n = std::min(link->rxDataLength, size);
    std::memcpy(buf, link->rxData.data(), n);
    wipeBytes(link->rxData.data(), link->rxDataLength); // the caller has it now
    link->rxDataLength = 0;
    return n;
}

} // namespace

void PKISS_SendACK(PKISS_LINK* link, std::uint8_t seq) {
    PKISS_ClearState(link, PKISS_FIRST_RECV);
    const std::uint32_t frameLength = link->rxFrameLength;
    link->rxFrameLength = 0;
    link->lastRxSeq = seq;
    // One write for both bytes: the same bytes on the line, one system call less.
    const std::uint8_t ack[2] = {PKISS_ACK, seq};
    (void)PRS232_Send(link->port, ack, 2);
    wireTap(TapEvent::FrameAcked, link->rxFrame.data(), frameLength, seq); // after: no delay
    wipeBytes(link->rxFrame.data(), frameLength); // its data, if any, is in rxData
}

int PKISS_RecvSTX(PKISS_LINK* link, std::uint32_t timeoutMs) {
    PTIMER_TIMER timer;
    PTIMER_Start(&timer, timeoutMs);
    std::uint8_t byte = 0;
    for (;;) {
        if (PTIMER_IsTimeout(&timer)) return 0;
        // Sleep through a silent line in one wait rather than in ~41 ms reads: the same bytes
        // are read at the same moments, with far fewer wake-ups while the driver idles.
        const std::uint32_t left = PTIMER_Remaining(&timer);
        if (PRS232_WaitInput(link->port, left) == 0) continue;
        std::uint32_t n = 1;
        PRS232_Recv(link->port, &byte, &n);
        if (n == 1 && byte == PKISS_STX) return 1;
    }
}

int PKISS_RecvData(PKISS_LINK* link) {
    std::uint32_t discarded = 0;
    bool escape = false;
    bool tooLong = false;
    for (;;) {
        std::uint8_t b = 0;
        std::uint32_t n = 1;
        PRS232_Recv(link->port, &b, &n);
        if (n == 0) return 0; // about 41 ms of silence inside a frame: cut off
        bool closing = false;
        if (b == PKISS_DLE) {
            escape = !escape;
        } else if (b == PKISS_ETX && !escape) {
            closing = true;
        } else {
            escape = false;
        }
        if (link->rxFrameLength >= kDataRoom) tooLong = true;
        if (!tooLong) {
            link->rxFrame[link->rxFrameLength++] = b;
        } else if (++discarded > kDiscardMax) {
            return 0; // no end in sight
        }
        // An oversized frame is read to its end, so that it gets one NAK and its tail is not
        // taken for the start of another frame.
        if (closing) return tooLong ? -1 : 1;
    }
}

int PKISS_VerifySeq(const PKISS_LINK* link, std::uint8_t seq) {
    const unsigned s = seq;
    const unsigned r = link->lastRxSeq;
    if (PKISS_CheckState(link, PKISS_FIRST_RECV)) return 1;
    if (s == 0xFF) return 1;           // the sender has just created its link
    if (s == 0 && r >= 0xFE) return 1; // wrap after 0xFE, or first numbered frame after 0xFF
    if (s == r) return 1;              // a repetition
    if (s == r + 1) return 1;          // the next frame
    return 0;
}

FrameFault PKISS_FrameFault(const PKISS_LINK* link) {
    const std::uint32_t len = link->rxFrameLength;
    if (len < 5 || len > PKISS_FRAME_SIZE) return FrameFault::badChecksum;
    const std::uint8_t* f = link->rxFrame.data();
    if (f[0] != PKISS_STX || f[len - 3] != PKISS_ETX) return FrameFault::badChecksum;
    const std::uint32_t crc = PKISS_CalcCrc(f + 1, len - 3);
    const std::uint32_t sent = f[len - 2] + 256U * f[len - 1];
    if (crc != sent) return FrameFault::badChecksum;
    if (PKISS_UnStuffedLength(f + 2, len - 5) > PKISS_DeliverLimit(link))
        return FrameFault::tooLong;
    return PKISS_VerifySeq(link, f[1]) == 1 ? FrameFault::none : FrameFault::outOfSequence;
}

int PKISS_RecvFrame(PKISS_LINK* link, FrameFault* fault) {
    link->rxFrame[0] = PKISS_STX;
    link->rxFrameLength = 1;
    std::uint8_t seq = 0;
    FrameFault why = FrameFault::cutOff;
    if (PKISS_RecvSeq(link, &seq) == 1) {
        link->rxFrame[link->rxFrameLength++] = seq;
        const int data = PKISS_RecvData(link);
        if (data != 0) { // the data part ended with its ETX: the CRC follows
            std::uint8_t crc[2] = {0, 0};
            std::uint32_t n = 2;
            PRS232_Recv(link->port, crc, &n);
            if (data == -1) {
                why = FrameFault::tooLong;
            } else if (n == 2) {
                link->rxFrame[link->rxFrameLength++] = crc[0];
                link->rxFrame[link->rxFrameLength++] = crc[1];
                why = PKISS_FrameFault(link);
            }
        }
    }
    if (why != FrameFault::none) { // a failed frame leaves no trace
        wipeBytes(link->rxFrame.data(), link->rxFrameLength);
        link->rxFrameLength = 0;
    }
    if (fault) *fault = why;
    return why == FrameFault::none ? 1 : 0;
}

int PKISS_IsImAlive(const PKISS_LINK* link) {
    return link->rxFrameLength > 2 && link->rxFrame[2] == PKISS_ETX ? 1 : 0;
}

void PKISS_HandleBuffer(PKISS_LINK* link) {
    const std::uint8_t s = link->rxFrame[1];
    if (PKISS_CheckState(link, PKISS_FIRST_RECV) || (s == link->lastRxSeq && s == 0xFF)) {
        // First frame of this link, or a sender that created its link again: new data,
        // replacing whatever still waits, a frame held back from the old link included.
        link->heldFrameLength = 0;
        acceptData(link);
        PKISS_SendACK(link, s);
    } else if (s == link->lastRxSeq) {
        PKISS_SendACK(link, s); // a repetition of a frame already accepted
    } else if (link->rxDataLength == 0) {
        acceptData(link);
        PKISS_SendACK(link, s);
    } else {
        // Data still waits to be collected: keep the frame aside and make the sender wait.
        std::memcpy(link->heldFrame.data(), link->rxFrame.data(), link->rxFrameLength);
        link->heldFrameLength = link->rxFrameLength;
        link->rxFrameLength = 0;
        PKISS_SendChar(link, PKISS_WACK);
        wireTap(TapEvent::FrameHeld, link->heldFrame.data(), link->heldFrameLength);
    }
}

void PKISS_HandleIframe(PKISS_LINK* link) {
    FrameFault fault = FrameFault::none;
    if (PKISS_RecvFrame(link, &fault) != 1) {
        PKISS_SendChar(link, PKISS_NAK);
        wireTap(TapEvent::FrameBad, nullptr, 0, static_cast<int>(fault));
        return;
    }
    if (PKISS_IsImAlive(link)) {
        PKISS_SendACK(link, link->rxFrame[1]); // keep-alive: answered at once, nothing to deliver
        return;
    }
    PKISS_HandleBuffer(link);
}

std::uint32_t PKISS_Recv(PKISS_LINK* link, std::uint8_t* buf, std::uint32_t size) {
    if (link == nullptr) return 0;
    const bool canDeliver = buf != nullptr && size > 0;
    std::uint32_t result = 0;
    bool delivered = false;
    if (canDeliver && link->rxDataLength > 0) {
        result = deliver(link, buf, size);
        delivered = true;
        if (link->heldFrameLength > 0) {
            // Nothing waits any more: the held frame can be accepted now.
            std::memcpy(link->rxFrame.data(), link->heldFrame.data(), link->heldFrameLength);
            link->rxFrameLength = link->heldFrameLength;
            wipeBytes(link->heldFrame.data(), link->heldFrameLength);
            link->heldFrameLength = 0;
            PKISS_HandleBuffer(link);
        }
    }
    if (PKISS_RecvSTX(link, PKISS_RECV_TIMEOUT) != 1) return result;
    PKISS_HandleIframe(link);
    if (!delivered && canDeliver && link->rxDataLength > 0) result = deliver(link, buf, size);
    return result;
}

} // namespace tarq
