// The link record, its creation and deletion, and the frame building blocks shared by both
// directions: CRC, escaping, sequence numbers, control bytes.
#include "link/clock.h"
#include "link/pkiss_internal.h"
#include "link/wipe.h"

#include <algorithm>
#include <array>
#include <new>
#include <span>

namespace tarq {
namespace {

// CRC-16/ARC: polynomial 0x8005 reflected (0xA001), initial value 0, no final XOR.
constexpr std::array<std::uint16_t, 256> makeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1U) ? (crc >> 1) ^ 0xA001U : crc >> 1;
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

constexpr auto kCrcTable = makeCrcTable();

constexpr bool needsEscape(std::uint8_t b) {
    return b == PKISS_STX || b == PKISS_ETX || b == PKISS_DLE;
}

} // namespace

std::uint32_t PKISS_CalcCrc(const std::uint8_t* data, std::uint32_t count) {
    std::uint32_t crc = 0;
    if (data == nullptr) return crc;
    for (std::uint32_t i = 0; i < count; ++i)
        crc = (crc >> 8) ^ kCrcTable[(crc ^ data[i]) & 0xFFU];
    return crc & 0xFFFFU;
}

std::uint32_t PKISS_Stuff(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t length) {
    if (dst == nullptr || src == nullptr) return 0;
    std::uint32_t out = 0;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (needsEscape(src[i])) dst[out++] = PKISS_DLE;
        dst[out++] = src[i];
    }
    return out;
}

std::uint32_t PKISS_UnStuff(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t count) {
    if (dst == nullptr || src == nullptr) return 0;
    std::uint32_t out = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        // A DLE is dropped and the byte after it taken as it is; a DLE at the very end has no
        // byte to escape and yields nothing.
        if (src[i] == PKISS_DLE && ++i == count) break;
        dst[out++] = src[i];
    }
    return out;
}

std::uint32_t PKISS_UnStuffedLength(const std::uint8_t* src, std::uint32_t count) {
    if (src == nullptr) return 0;
    std::uint32_t out = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (src[i] == PKISS_DLE && ++i == count) break;
        ++out;
    }
    return out;
}

std::uint8_t PKISS_NewSeq(std::uint8_t& seq) {
    seq = seq < 0xFE ? static_cast<std::uint8_t>(seq + 1) : 0x00;
    return seq;
}

std::uint8_t PKISS_CheckState(const PKISS_LINK* link, std::uint8_t mask) {
    return static_cast<std::uint8_t>(link->state & mask);
}

void PKISS_ClearState(PKISS_LINK* link, std::uint8_t mask) {
    link->state = static_cast<std::uint8_t>(link->state & ~mask);
}

std::uint32_t PKISS_DeliverLimit(const PKISS_LINK* link) {
    return std::min(link->maxDeliver, PKISS_MAX_DATA);
}

void PKISS_SendChar(PKISS_LINK* link, std::uint8_t byte) {
    // A lost control byte is covered by the sender's time-out.
    (void)PRS232_Send(link->port, &byte, 1);
}

int PKISS_RecvSeq(PKISS_LINK* link, std::uint8_t* seq) {
    std::uint32_t n = 1;
    PRS232_Recv(link->port, seq, &n);
    return n == 1 ? 1 : 0;
}

void PKISS_ComCleanup(PKISS_LINK* link) {
    // A line that never falls silent (noise, wrong speed) must not hold up the caller.
    PTIMER_TIMER limit;
    PTIMER_Start(&limit, PKISS_RECV_TIMEOUT);
    std::uint8_t byte = 0;
    for (;;) {
        std::uint32_t n = 1;
        PRS232_Recv(link->port, &byte, &n);
        if (n == 0 || PTIMER_IsTimeout(&limit)) return;
    }
}

PKISS_LINK* PKISS_CreateOn(PRS232_PORT* port) {
    if (port == nullptr) return nullptr;
    auto* link = new (std::nothrow) PKISS_LINK;
    if (link == nullptr) {
        PRS232_Delete(&port);
        return nullptr;
    }
    link->port = port;
    return link;
}

PKISS_LINK* PKISS_Create(std::uint8_t port, std::uint32_t baud, const char* device) {
    PKISS_LINK* link = PKISS_CreateOn(PRS232_Create(port, baud, device));
    if (link == nullptr) return nullptr;
    // Let the line settle and throw away what the terminal sent before we were listening.
    sleepMs(100);
    PKISS_ComCleanup(link);
    sleepMs(100);
    return link;
}

void PKISS_Delete(PKISS_LINK** link) {
    if (link == nullptr || *link == nullptr) return;
    PRS232_Delete(&(*link)->port);
    using Buffer = std::span<std::uint8_t>;
    PKISS_LINK& l = **link; // waiting data and a held frame are dropped: none of it stays
    for (const Buffer b :
         {Buffer(l.txFrame), Buffer(l.rxFrame), Buffer(l.heldFrame), Buffer(l.rxData)}) {
        wipeBytes(b.data(), b.size());
    }
    delete *link;
    *link = nullptr;
}

} // namespace tarq
