// Invokers of the cash register's callbacks, and the card-data conversion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarq {

// Size of the text area the card handler converts cardData into (19 bytes give 38 digits).
inline constexpr std::size_t CARD_TEXT_SIZE = 40;

// 1 when the callback returned exactly 1, else 0 (also when none is registered).
int invokeSetCarddata(const char* cardText);
// 0 when none is registered; else 1 when the callback returned non-zero.
int invokePrintReceipt();
// Hands terminated copies of both status lines to the display callback, if any.
void invokeDisplayStatus();
// The callback's result; 0 when none is registered.
int invokeAbortQuery();
int invokeExtCardConfirm();
int invokeVerSigConfirm();
void invokeAdviceFlag();

// Writes the packed card data as digit text; never reads past 19 packed bytes nor writes past
// destSize (including the terminator).
void trqTransformCarddata(char* dest, std::size_t destSize, const std::uint8_t* packed,
                          std::int32_t n);

// Stores a routine in the slot of `kind` (0..6, the TRQ_CB_* kinds); other kinds store nothing.
void storeCallback(int kind, void* routine);

} // namespace tarq
