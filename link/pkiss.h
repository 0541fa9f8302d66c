// The framed, acknowledged link: STX seq data ETX crc-lo crc-hi, with ACK/NAK/WACK.
#pragma once

#include "link/prs232.h"
#include "link/ptimer.h"

#include <array>
#include <cstdint>

namespace tarq {

inline constexpr std::uint8_t PKISS_STX = 0x02;
inline constexpr std::uint8_t PKISS_ETX = 0x03;
inline constexpr std::uint8_t PKISS_ACK = 0x06;
inline constexpr std::uint8_t PKISS_DLE = 0x10;
inline constexpr std::uint8_t PKISS_WACK = 0x13;
inline constexpr std::uint8_t PKISS_NAK = 0x15;

inline constexpr std::uint8_t PKISS_FIRST_SEND = 0x01;
inline constexpr std::uint8_t PKISS_FIRST_RECV = 0x02;

inline constexpr std::uint32_t PKISS_MAX_DATA = 2048;
inline constexpr std::uint32_t PKISS_FRAME_SIZE = 2 * PKISS_MAX_DATA + 5; // 4101
inline constexpr std::uint32_t PKISS_RECV_DATA_SIZE = 2050;
inline constexpr std::uint32_t PKISS_ACK_TIMEOUT = 4000; // ms
inline constexpr std::uint32_t PKISS_RECV_TIMEOUT = 600; // ms
inline constexpr int MAX_NUMBER_SEND = 4;
// Results of PKISS_Send, passed on unchanged by the message transport above it.
inline constexpr int PKISS_ACKNOWLEDGED = 1;
inline constexpr int PKISS_NOT_ACKNOWLEDGED = 0;
inline constexpr int PKISS_WACK_RESULT = -1000; // the terminal answered WACK and no ACK followed

struct PKISS_LINK {
    std::array<std::uint8_t, PKISS_FRAME_SIZE> txFrame{};
    std::array<std::uint8_t, PKISS_FRAME_SIZE> rxFrame{};
    std::array<std::uint8_t, PKISS_RECV_DATA_SIZE> rxData{};
    // A frame answered with WACK waits here, apart from rxFrame, so that a later frame that
    // fails (and is wiped) cannot take it along.
    std::array<std::uint8_t, PKISS_FRAME_SIZE> heldFrame{};
    std::uint32_t txFrameLength = 0;
    std::uint32_t rxFrameLength = 0;
    std::uint32_t heldFrameLength = 0; // 0 = no frame held back
    std::uint32_t rxDataLength = 0;
    std::uint8_t txCount = 0;
    std::uint8_t txSeq = 0;
    std::uint8_t lastRxSeq = 0;
    std::uint8_t state = PKISS_FIRST_SEND | PKISS_FIRST_RECV;
    PTIMER_TIMER ackTimer{};
    PRS232_PORT* port = nullptr;
    // Largest data block the caller can take; bigger frames are refused with NAK, so nothing
    // is acknowledged that could not be handed on. Never more than PKISS_MAX_DATA.
    std::uint32_t maxDeliver = 1024;
};

// Opens the port (by number, or by `device` when given), lets the line settle and drains it.
PKISS_LINK* PKISS_Create(std::uint8_t port, std::uint32_t baud, const char* device = nullptr);
// Builds a link over a port that is already open (no settling, no draining); takes ownership
// of the port, also when it fails (nullptr for a null port).
PKISS_LINK* PKISS_CreateOn(PRS232_PORT* port);
void PKISS_Delete(PKISS_LINK** link);

// 1 acknowledged, 0 not (or refused: length > PKISS_MAX_DATA), -1000 WACK without ACK.
int PKISS_Send(PKISS_LINK* link, const std::uint8_t* data, std::uint32_t length);
// Copies at most one waiting data block (never more than `size` bytes) into buf; returns its
// length, 0 when nothing was delivered within about 600 ms. A block longer than `size` (only
// when size < maxDeliver) is cut to `size` bytes; the rest is dropped.
std::uint32_t PKISS_Recv(PKISS_LINK* link, std::uint8_t* buf, std::uint32_t size);

// Building blocks, also used by the terminal simulator to forge frames.
std::uint32_t PKISS_CalcCrc(const std::uint8_t* data, std::uint32_t count);
// Escapes `length` bytes of src into dst (dst must hold 2 * length); returns bytes written.
std::uint32_t PKISS_Stuff(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t length);
// Unescapes `count` bytes of src into dst (dst must hold count); returns bytes written.
std::uint32_t PKISS_UnStuff(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t count);
std::uint8_t PKISS_NewSeq(std::uint8_t& seq);

} // namespace tarq
