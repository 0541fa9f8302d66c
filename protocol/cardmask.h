// Card numbers in texts that anyone may read (traces, logs, printed lines): found whether
// written in one run or in groups, and cut to their first six and last four digits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarq {

// A card number in a text: 13 or more digits in a row, or in groups separated by single spaces
// or dashes ("4571 9999 0000 1234", "4571-9999-0000-1234"). Sets hide[i] for each digit of
// one beyond its first six and last four (only the first six of more than 19 digits), and for
// track 2 ("...=2812101...") every digit after the separator; `hide` has the text's size, other
// entries are left as they are.
void markCardNumbers(std::span<const std::uint8_t> text, std::span<bool> hide);

// The text with every card number in it cut to its first six and last four digits, the other
// digits '*' and everything else kept as it is.
std::string maskCardNumbers(std::string_view text);

// An expiry date on a line that names one or shows a masked card number: "12/28", "12-28",
// "1228" after an expiry label. Sets hide[i] for its digits.
void markExpiryDates(std::span<const std::uint8_t> text, std::span<bool> hide);

} // namespace tarq
