// The readable form of a message, as logs and traces show it.
#include "protocol/describe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarq {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Track 2 "4571999900001234=2812101" packed in half-bytes, in a message of its own.
const Bytes kCardMessage{0xE1, 0x0F, 0xC5, 0x0D, 0x45, 0x71, 0x99, 0x99, 0x00,
                         0x00, 0x12, 0x34, 0xD2, 0x81, 0x21, 0x01, 0xFF};

TEST(Describe, NamesTagsAndShowsTexts) {
    const struct {
        Bytes message;
        DescribeOptions options;
        std::string expected;
    } cases[] = {
        {{0xE1, 0x07, 0xC7, 0x05, 'B', 'E', 'L', 0xD8, 'P'},
         {},
         "E1 MESSAGE { C7 PTAG_STATUS1 \"BEL\xC3\x98P\" }"},
        {{0xE1, 0x04, 0xDD, 0x02, 0x00, 0x03},
         {},
         "E1 MESSAGE { DD PTAG_TRANS_COMPLETED [00 03] }"},
        {{0xE1, 0x05, 0xDD}, {}, "(not a BER-TLV object)"},
        {{}, {}, "(keep-alive)"},
        // The terminal's own log shows the card; a trace masks all but the first six and
        // last four digits of the number, and every digit after the separator.
        {kCardMessage,
         {},
         "E1 MESSAGE { C5 PTAG_TERM_CARD [45 71 99 99 00 00 12 34 D2 81 21 01 FF] }"},
        {kCardMessage,
         {.maskCardData = true},
         "E1 MESSAGE { C5 PTAG_TERM_CARD [45 71 99 ** ** ** 12 34 D* ** ** ** FF] }"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describeMessage(c.message, c.options), c.expected);
}

} // namespace
} // namespace tarq
