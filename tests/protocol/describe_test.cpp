// The readable form of a message, as logs and traces show it.
#include "protocol/describe.h"
#include "tests/support/bytes.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tarq {
namespace {

using test::Bytes;

TEST(Describe, NamesTagsShowsTextsMasksCardData) {
    // Track 2 "4571999900001234=2812101" packed. A trace masks all but the number's first six and
    // last four digits, and every digit after the separator; the terminal's own log shows it.
    const Bytes card{0xE1, 0x0F, 0xC5, 0x0D, 0x45, 0x71, 0x99, 0x99, 0x00,
                     0x00, 0x12, 0x34, 0xD2, 0x81, 0x21, 0x01, 0xFF};
    const std::tuple<Bytes, bool, std::string> rows[] = {
        {{0xE1, 0x07, 0xC7, 0x05, 'B', 'E', 'L', 0xD8, 'P'},
         false,
         "E1 MESSAGE { C7 PTAG_STATUS1 \"BEL\xC3\x98P\" }"},
        {{0xE1, 0x04, 0xDD, 0x02, 0x00, 0x03},
         false,
         "E1 MESSAGE { DD PTAG_TRANS_COMPLETED [00 03] }"},
        {{0xE1, 0x05, 0xDD}, false, "(not a BER-TLV object)"},
        {{}, false, "(keep-alive)"},
        {card, false, "E1 MESSAGE { C5 PTAG_TERM_CARD [45 71 99 99 00 00 12 34 D2 81 21 01 FF] }"},
        {card, true, "E1 MESSAGE { C5 PTAG_TERM_CARD [45 71 99 ** ** ** 12 34 D* ** ** ** FF] }"}};
    for (const auto& [message, mask, expected] : rows)
        EXPECT_EQ(describeMessage(message, {.maskCardData = mask}), expected);
}

} // namespace
} // namespace tarq
