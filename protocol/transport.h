// Message transport over the link: whole BER-TLV messages both ways.
#pragma once

#include "core/sa.h"

#include <cstdint>

namespace tarq {

inline constexpr std::uint32_t PIP_SEND_SIZE = 90;
inline constexpr std::uint32_t PIP_RECV_SIZE = 1024;
inline constexpr int PIP_WACK_RETRIES = 3;
inline constexpr std::uint32_t PIP_WACK_SLEEP = 2000; // ms

// What the transport needs from the link. The default carries frames over ctx.pKiss with
// PKISS_Send / PKISS_Recv and is present only while a link is open; a test installs a scripted
// terminal instead.
class PipLink {
  public:
    virtual ~PipLink() = default;
    // False: nothing is sent (result 0) and nothing is received (-1); the link is not touched.
    virtual bool present() = 0;
    // 1 acknowledged, 0 not, -1000 the terminal answered WACK.
    virtual int send(const std::uint8_t* data, std::uint32_t length) = 0;
    // Copies at most one data block of at most `size` bytes; its length, 0 when none came.
    virtual std::uint32_t recv(std::uint8_t* buf, std::uint32_t size) = 0;
};

// Installs a link; nullptr restores the default. The caller keeps ownership.
void pip_setLink(PipLink* link);

// Sends the message at the start of the 90-byte buffer; repeats while the terminal answers
// WACK, with 2000 ms pauses, at most 3 times. 1 acknowledged, 0 not (or nothing sent), -1000.
int pip_send_tlv(std::uint8_t* sendBuffer);
// Size of the well-formed object at the start of the 1024-byte buffer, or -1.
int pip_receive(std::uint8_t* recvBuffer);
// Bytes the link delivered into the 1024-byte buffer; a delivery of nothing counts as 1.
int pip_recv_frame(std::uint8_t* recvBuffer);

// Receives one terminal message and interprets it; its event (owned by the parser) or nullptr.
SA_EVENT* getECREvent();
// Builds and sends the message for an answer record (nullptr: nothing). 0 when nothing was sent.
int sendEvent(SA_ANSWER* answer);
int sendECREvent(SA_ANSWER* answer);

} // namespace tarq
