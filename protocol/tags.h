// Message tags and answer types of the terminal protocol.
#pragma once

#include <cstdint>

namespace tarq {

inline constexpr std::uint8_t PTAG_MESSAGE = 0xE1;
inline constexpr std::uint8_t PTAG_TERM_OPEN = 0xC0;
inline constexpr std::uint8_t PTAG_TERM_CLOSE = 0xC1;
inline constexpr std::uint8_t PTAG_AMOUNT = 0xC2;
inline constexpr std::uint8_t PTAG_CURRENCYCODE = 0xC3;
inline constexpr std::uint8_t PTAG_MI = 0xC4;
inline constexpr std::uint8_t PTAG_TERM_CARD = 0xC5;
inline constexpr std::uint8_t PTAG_STATUS1 = 0xC7;
inline constexpr std::uint8_t PTAG_STATUS2 = 0xC8;
inline constexpr std::uint8_t PTAG_TERM_ABORT = 0xC9;
inline constexpr std::uint8_t PTAG_CONFIRM = 0xCB;
inline constexpr std::uint8_t PTAG_TERM_RECEIPT = 0xCC;
inline constexpr std::uint8_t PTAG_TERM_IDLE = 0xCD;
inline constexpr std::uint8_t PTAG_TERM_CARDNAME = 0xCE;
inline constexpr std::uint8_t PTAG_EXTPOSOK = 0xCF;
inline constexpr std::uint8_t PTAG_EXTPOSNOTOK = 0xD0;
inline constexpr std::uint8_t PTAG_ADVICE_FLAG = 0xD1;
inline constexpr std::uint8_t PTAG_ADMIN = 0xD2;
inline constexpr std::uint8_t PTAG_VER_SIG_OK = 0xD3;
inline constexpr std::uint8_t PTAG_VER_SIG = 0xD4;
inline constexpr std::uint8_t PTAG_NORTRANS = 0xD5;
inline constexpr std::uint8_t PTAG_REFUND = 0xD6;
inline constexpr std::uint8_t PTAG_RECEIPTNUMBER = 0xD7;
inline constexpr std::uint8_t PTAG_CONFIRMEEXTCARD = 0xD8;
inline constexpr std::uint8_t PTAG_VER_SIG_NONE = 0xD9;
inline constexpr std::uint8_t PTAG_LAST_RECEIPT = 0xDA;
inline constexpr std::uint8_t PTAG_TRACK2_LENGTH = 0xDB;
inline constexpr std::uint8_t PTAG_NORTRANS_CARD = 0xDC;
inline constexpr std::uint8_t PTAG_TRANS_COMPLETED = 0xDD;
inline constexpr std::uint8_t PTAG_ISSUERID = 0xDE;

inline constexpr std::uint32_t PANSWER_STATUS1 = 0;
inline constexpr std::uint32_t PANSWER_ABORT = 2;
inline constexpr std::uint32_t PANSWER_MI = 3;
inline constexpr std::uint32_t PANSWER_AMOUNT = 5;
inline constexpr std::uint32_t PANSWER_CURRENCYCODE = 6;
inline constexpr std::uint32_t PANSWER_OPEN = 7;
inline constexpr std::uint32_t PANSWER_ADMIN = 8;
inline constexpr std::uint32_t PANSWER_CLOSE = 9;
inline constexpr std::uint32_t PANSWER_NONE = 11;
inline constexpr std::uint32_t PANSWER_OKPOS = 12;
inline constexpr std::uint32_t PANSWER_VERSIG = 13;
inline constexpr std::uint32_t PANSWER_RECEIPTNUMBER = 14;
inline constexpr std::uint32_t PANSWER_REFUND = 15;
inline constexpr std::uint32_t PANSWER_CONFIRMEEXTCARD = 16;
inline constexpr std::uint32_t PANSWER_NORTRANS = 17;

} // namespace tarq
