// The link's building blocks, for the link's own files and its tests.
#pragma once

#include "link/pkiss.h"
#include "link/wiretap.h"

#include <cstdint>

namespace tarq {

std::uint8_t PKISS_CheckState(const PKISS_LINK* link, std::uint8_t mask);
void PKISS_ClearState(PKISS_LINK* link, std::uint8_t mask);
// Largest unescaped data block that the link accepts: maxDeliver, capped at PKISS_MAX_DATA.
std::uint32_t PKISS_DeliverLimit(const PKISS_LINK* link);

// Reading and answering.
void PKISS_SendChar(PKISS_LINK* link, std::uint8_t byte);
void PKISS_SendACK(PKISS_LINK* link, std::uint8_t seq);
int PKISS_RecvSeq(PKISS_LINK* link, std::uint8_t* seq);
int PKISS_RecvSTX(PKISS_LINK* link, std::uint32_t timeoutMs);
// Drains the line until a read finds it silent, for about PKISS_RECV_TIMEOUT at most.
void PKISS_ComCleanup(PKISS_LINK* link);

// Receiving side. The STX has just been read when PKISS_HandleIframe is called.
void PKISS_HandleIframe(PKISS_LINK* link);
// 1: a whole, verified frame in rxFrame; 0: refused, and `fault` (when given) says why.
int PKISS_RecvFrame(PKISS_LINK* link, FrameFault* fault = nullptr);
// 1: data part closed by its ETX; 0: cut off by silence; -1: closed, but too long to accept.
int PKISS_RecvData(PKISS_LINK* link);
// What is wrong with the frame in rxFrame (FrameFault::none: nothing).
FrameFault PKISS_FrameFault(const PKISS_LINK* link);
int PKISS_VerifySeq(const PKISS_LINK* link, std::uint8_t seq);
int PKISS_IsImAlive(const PKISS_LINK* link);
// Answers the verified frame in rxFrame: accept (ACK), drop a repetition (ACK) or hold it
// back (WACK) while data waits.
void PKISS_HandleBuffer(PKISS_LINK* link);
// Number of bytes PKISS_UnStuff would write for `count` escaped bytes.
std::uint32_t PKISS_UnStuffedLength(const std::uint8_t* src, std::uint32_t count);

// Sending side.
void PKISS_BuildFrame(PKISS_LINK* link, const std::uint8_t* data, std::uint32_t length);
int PKISS_SendFrame(PKISS_LINK* link);
int PKISS_RecvFirstByte(PKISS_LINK* link, std::uint8_t* byte);
int PKISS_Transmit(PKISS_LINK* link);

} // namespace tarq
