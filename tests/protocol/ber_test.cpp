// BER-TLV bounds: sizes found or refused, every prefix refused, decoding inside parent, buffer
// and depth, round trips of real messages; a message's readable form, as logs and traces show it.
#include "protocol/ber.h"
#include "protocol/describe.h"
#include "tests/support/terminal.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tarq::test {
namespace {

const auto size = [](const Bytes& b) { return static_cast<std::uint32_t>(b.size()); };

TEST(Ber, CheckFindsTheSizeOrRejects) {
    const std::tuple<Bytes, int> rows[] = {
        {{0xE1, 0x00, 0x20, 0x20, 0x20}, 2},              // trailing bytes are not looked at
        {{0xE1, 0x04, 0xC7, 0x02, 0x41}, -1},             // declared beyond the buffer
        {{0xE1, 0x05, 0xC7, 0x02, 0x41, 0x42, 0x99}, -1}, // the walk finds a lone byte
        {{0xE1, 0x03, 0xC7, 0x02, 0x41, 0x42}, 5},        // child past its parent, inside buffer
        {{0xE1, 0x02, 0x1F, 0x81}, -1},                   // child with an unterminated tag
        {{0xE1, 0x80, 0x00, 0x00}, -1},                   // indefinite length
        {{0xC7, 0x83, 0x00, 0x00, 0x01, 0x41}, -1},       // three length bytes
        {{0x1F, 0x81, 0x01, 0x01, 0xAA}, 5},              // multi-byte tag
        {{0xC7, 0x81, 0x00}, 3},                          // long length form ends the buffer
        {{0xE1, 0x04, 0xE2, 0x02, 0xC0, 0x05}, -1}};      // nested, inner malformed
    for (const auto& [buffer, expected] : rows)
        EXPECT_EQ(BER_check(buffer.data(), size(buffer)), expected);
    Bytes nested{0xC0, 0x00}; // up to 100 levels: valid BER, valid to the deepest level allowed
    for (int i = 1; i <= 100; ++i) {
        nested = element(0xE1, nested);
        EXPECT_EQ(BER_check(nested.data(), size(nested)),
                  i > BER_MAX_DEPTH ? -1 : static_cast<int>(nested.size()));
    }
    TLV* root = BER2TLV(nested.data(), size(nested)); // the decoder stops at the same bound
    int depth = 0;
    for (const TLV* n = root; n && !n->children.empty(); n = n->children[0].get())
        ++depth;
    EXPECT_EQ(depth, BER_MAX_DEPTH);
    TLV_free(&root);
}

// Real messages, each length form: prefixes refused, the whole round trips, a byte less room fails.
TEST(Ber, PrefixesRefusedWholeMessagesRoundTrip) {
    TLV* built = TLV_create(0xE1, 0, nullptr); // children with length fields of 1, 2 and 3 bytes
    for (std::uint32_t n : {0x7F, 0x80, 0xFF, 0xFDF5}) // and a parent of the longest, 0xFFFF
        TLV_addChild(built, TLV_create(0xCC, n, Bytes(n, 'k').data()));
    Bytes encoded(0x10003);
    EXPECT_EQ(TLV2BER(built, encoded.data(), size(encoded)), 4U + 0xFFFF);
    TLV_addChild(built, TLV_create(0xC0, 0, nullptr)); // 0x10001: beyond any length field
    EXPECT_EQ(TLV2BER(built, encoded.data(), size(encoded)), 0U);
    TLV_free(&built);
    const Bytes messages[] = {{0xE1, 0x06, 0xE2, 0x02, 0xC0, 0x00, 0xC1, 0x00},
                              message(0xC7, text("ARBEJDER            ")),
                              message(0xCC, Bytes(200, 'k')),
                              message(0xCC, Bytes(1001, 'k'))};
    for (const auto& m : messages) {
        for (std::uint32_t n = 0; n < size(m); ++n)
            ASSERT_EQ(BER_check(m.data(), n), -1) << size(m) << " cut to " << n;
        TLV* tree = BER2TLV(m.data(), size(m));
        Bytes out(m.size() + 1, 0xAA);
        EXPECT_EQ(TLV2BER(tree, out.data(), size(out)), size(m));
        EXPECT_EQ(out, join(m, {0xAA}));
        EXPECT_EQ(TLV2BER(tree, out.data(), size(m) - 1), 0U);
        TLV_free(&tree);
    }
}

// A child past its parent or a multi-byte tag ends the children; alone or cut, nothing is decoded.
TEST(Ber, DecoderStaysInsideParentAndBuffer) {
    const std::tuple<Bytes, Bytes> rows[] = {
        {{0xE1, 0x05, 0xC0, 0x00, 0xC1, 0x02, 0xAA, 0xBB}, {0xC0}},
        {{0xE1, 0x06, 0xC0, 0x00, 0x1F, 0x01, 0x00, 0x00}, {0xC0}},
        {{0xE1, 0x07, 0xC7, 0x81, 0x02, 0x41, 0x42, 0xC0, 0x00}, {0xC7, 0xC0}}};
    for (const auto& [buffer, tags] : rows) {
        TLV* root = BER2TLV(buffer.data(), size(buffer));
        ASSERT_NE(root, nullptr);
        Bytes children, out(16);
        for (const auto& child : root->children)
            children.push_back(child->tag);
        EXPECT_EQ(children, tags);
        EXPECT_EQ(tags.size() == 1 ? TLV2BER(root, out.data(), 16) : 0U, 0U);
        TLV_free(&root);
    }
    for (const Bytes& b : {Bytes{0xC7, 0x05, 0x41}, Bytes{0x1F, 0x81, 0x01, 0x00}, Bytes{0xE1}})
        EXPECT_EQ(BER2TLV(b.data(), size(b)), nullptr);
}

TEST(Describe, NamesTagsShowsTextsMasksCardData) {
    // Track 2 "4571999900001234=2812101" packed: a trace shows the number's first 6 and last 4
    // digits and none after the separator; the terminal's own log shows it all.
    const Bytes card{0xE1, 0x0F, 0xC5, 0x0D, 0x45, 0x71, 0x99, 0x99, 0x00,
                     0x00, 0x12, 0x34, 0xD2, 0x81, 0x21, 0x01, 0xFF};
    const std::tuple<Bytes, bool, std::string> rows[] = {
        {message(0xC7, text("BEL\xD8P\x01\xA0")), false,
         "E1 MESSAGE { C7 PTAG_STATUS1 \"BEL\xC3\x98P\\x01\xC2\xA0\" }"},
        {message(0xDD, {0, 3}), false, "E1 MESSAGE { DD PTAG_TRANS_COMPLETED [00 03] }"},
        {{0xE1, 0x05, 0xDD}, false, "(not a BER-TLV object)"},
        {{}, false, "(keep-alive)"},
        {card, false, "E1 MESSAGE { C5 PTAG_TERM_CARD [45 71 99 99 00 00 12 34 D2 81 21 01 FF] }"},
        {card, true, "E1 MESSAGE { C5 PTAG_TERM_CARD [45 71 99 ** ** ** 12 34 D* ** ** ** FF] }"},
        {message(0xC5, {0x45, 0x71, 0x99, 0xA9, 0, 0, 0, 0x34, 0x56}), true, // no digit: hide on
         "E1 MESSAGE { C5 PTAG_TERM_CARD [45 71 99 A* ** ** ** ** **] }"},
        {message(0xC5, {0x45, 0x71, 0x99, 0x99, 0, 0, 0x12, 0x34}), true, // no separator
         "E1 MESSAGE { C5 PTAG_TERM_CARD [45 71 99 ** ** ** 12 34] }"}};
    for (const auto& [m, mask, expected] : rows)
        EXPECT_EQ(describeMessage(m, {.maskCardData = mask}), expected);
}

} // namespace
} // namespace tarq::test
