// What the Java bridge reads of the driver besides the exported operations: the issuer of the
// last payment, the receipts of the call, the sizes of the texts it copies, and the driver's
// console (say), which its own lines go through too. The bridge sits above the exported
// operations and sees no more of the driver than this.
#pragma once

#include "core/console.h"

#include <cstddef>

namespace tarq {

inline constexpr std::size_t DISPLAY_LINE_LEN = 20;    // characters of a display line
inline constexpr std::size_t RECEIPT_TEXT_SIZE = 1001; // a receipt segment and its terminator
inline constexpr char BLANK_DISPLAY_LINE[] = "                    ";

// The issuer the terminal reported with the last payment's result (0: none).
int lastIssuer() noexcept;
// Receipts the cash register has taken in the current call (wraps at 256).
std::size_t receiptsOfCall() noexcept;

} // namespace tarq
