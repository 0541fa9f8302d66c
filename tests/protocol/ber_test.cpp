// BER-TLV codec: length fields, the size check, decoding limits and round trips.
#include "protocol_fixture.h"

#include <array>

namespace tarq::test {
namespace {

TEST(BerTest, LengthFieldsAndEncodedSizes) {
    struct Case {
        std::uint32_t length;
        Bytes field;
        std::uint32_t encodedSize;
    };
    const Case cases[] = {
        {0, {0x00}, 2},
        {0x7F, {0x7F}, 0x81},
        {0x80, {0x81, 0x80}, 0x83},
        {0xFF, {0x81, 0xFF}, 0x102},
        {0x100, {0x82, 0x01, 0x00}, 0x104},
        {0xFFFF, {0x82, 0xFF, 0xFF}, 0x10003},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        TLV node;
        node.tag = 0xC7;
        node.length = c.length;
        std::array<std::uint8_t, 3> out{};
        const int n = TLVLength2BERLength(&node, out.data());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), c.field);
        EXPECT_EQ(TLVBERLength(&node), c.encodedSize);
        // The check reads the field back to the same length.
        std::uint32_t back = 0;
        EXPECT_EQ(
            BER_checkLength(c.field.data(), static_cast<std::uint32_t>(c.field.size()), &back), n);
        EXPECT_EQ(back, c.length);
    }
    TLV huge;
    huge.length = 0x10000;
    std::array<std::uint8_t, 3> out{};
    EXPECT_EQ(TLVLength2BERLength(&huge, out.data()), 0);
}

TEST(BerTest, CheckFindsTheSizeOrRejects) {
    struct Case {
        const char* name;
        Bytes buffer;
        std::uint32_t size; // 0: the whole buffer
        int expected;
    };
    const Case cases[] = {
        {"empty envelope then blanks", {0xE1, 0x00, 0x20, 0x20, 0x20}, 0, 2},
        {"declared beyond buffer", {0xE1, 0x04, 0xC7, 0x02, 0x41, 0x42}, 5, -1},
        {"trailing bytes ignored", {0xE1, 0x04, 0xC7, 0x02, 0x41, 0x42, 0x00, 0x00}, 0, 6},
        {"walk finds a lone byte", {0xE1, 0x05, 0xC7, 0x02, 0x41, 0x42, 0x99}, 0, -1},
        {"child past parent, inside buffer", {0xE1, 0x03, 0xC7, 0x02, 0x41, 0x42}, 0, 5},
        {"child with unterminated tag", {0xE1, 0x02, 0x1F, 0x81}, 0, -1},
        {"indefinite length", {0xE1, 0x80, 0x00, 0x00}, 0, -1},
        {"three length bytes", {0xC7, 0x83, 0x00, 0x00, 0x01, 0x41}, 0, -1},
        {"four length bytes", {0xC7, 0x84, 0x00, 0x00, 0x00, 0x01, 0x41}, 0, -1},
        {"long form 0x81", {0xC7, 0x81, 0x01, 0x41}, 0, 4},
        {"multi-byte tag accepted", {0x1F, 0x81, 0x01, 0x00}, 0, 4},
        {"primitive alone", {0xC0, 0x00}, 0, 2},
        {"nested, inner malformed", {0xE1, 0x04, 0xE2, 0x02, 0xC0, 0x05}, 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t size = c.size ? c.size : static_cast<std::uint32_t>(c.buffer.size());
        EXPECT_EQ(BER_check(c.buffer.data(), size), c.expected);
    }
    EXPECT_EQ(BER_check(nullptr, 10), -1);
}

// Real messages, both directions, with every length form.
const Bytes kMessages[] = {
    {0xE1, 0x02, 0xC0, 0x00},
    {0xE1, 0x04, 0xC3, 0x02, 0x02, 0x42},
    {0xE1, 0x04, 0xDD, 0x02, 0x00, 0x05},
    {0xE1, 0x06, 0xE2, 0x02, 0xC0, 0x00, 0xC1, 0x00},
    message(0xC7, text("ARBEJDER            ")),
    message(0xCC, Bytes(200, 'k')),
    message(0xCC, Bytes(1001, 'k')),
};

TEST(BerTest, EveryPrefixOfAValidMessageIsIncomplete) {
    for (const auto& m : kMessages) {
        const auto full = static_cast<std::uint32_t>(m.size());
        SCOPED_TRACE(full);
        for (std::uint32_t n = 0; n < full; ++n)
            ASSERT_EQ(BER_check(m.data(), n), -1) << n;
        EXPECT_EQ(BER_check(m.data(), full), static_cast<int>(full));
    }
}

TEST(BerTest, DecodeThenEncodeGivesTheSameBytes) {
    for (const auto& m : kMessages) {
        const auto size = static_cast<std::uint32_t>(m.size());
        SCOPED_TRACE(size);
        TLV* tree = BER2TLV(m.data(), size);
        ASSERT_NE(tree, nullptr);
        Bytes out(size + 8, 0xAA);
        EXPECT_EQ(TLV2BER(tree, out.data(), static_cast<std::uint32_t>(out.size())), size);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + size), m);
        EXPECT_EQ(out[size], 0xAA); // nothing written behind
        // One byte less room: nothing fits, nothing is claimed.
        EXPECT_EQ(TLV2BER(tree, out.data(), size - 1), 0u);
        TLV_free(&tree);
        EXPECT_EQ(tree, nullptr);
    }
}

TEST(BerTest, DecoderStaysInsideParentAndBuffer) {
    const std::pair<Bytes, Bytes> decoded[] = {
        // The check lets the last child run past its parent; the decoder does not take it.
        {{0xE1, 0x05, 0xC0, 0x00, 0xC1, 0x02, 0xAA, 0xBB}, {0xC0}},
        // A multi-byte tag inside an envelope ends the children there.
        {{0xE1, 0x06, 0xC0, 0x00, 0x1F, 0x01, 0x00, 0x00}, {0xC0}},
        // A length of 2 written in the long form is decoded by the bytes it takes.
        {{0xE1, 0x07, 0xC7, 0x81, 0x02, 0x41, 0x42, 0xC0, 0x00}, {0xC7, 0xC0}},
    };
    for (const auto& [buffer, tags] : decoded) {
        SCOPED_TRACE(buffer.size());
        TLV* root = BER2TLV(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
        ASSERT_NE(root, nullptr);
        Bytes children;
        for (const auto& child : root->children)
            children.push_back(child->tag);
        EXPECT_EQ(children, tags);
        EXPECT_EQ(root->tlvs, tags.size());
        TLV_free(&root);
    }
    const Bytes rejected[] = {
        {0xC7, 0x05, 0x41},                   // beyond the buffer
        {0x1F, 0x81, 0x01, 0x00},             // multi-byte tag
        {0xE1, 0x80, 0x00, 0x00},             // indefinite length
        {0xC7, 0x83, 0x00, 0x00, 0x01, 0x41}, // three length bytes
        {0xE1},
    };
    for (const auto& buffer : rejected)
        EXPECT_EQ(BER2TLV(buffer.data(), static_cast<std::uint32_t>(buffer.size())), nullptr);
}

TEST(BerTest, DeepNestingIsBounded) {
    // 100 levels of nesting: valid BER, but deeper than any message and refused.
    Bytes nested{0xC0, 0x00};
    for (int i = 0; i < 100; ++i)
        nested = element(0xE1, nested);
    EXPECT_EQ(BER_check(nested.data(), static_cast<std::uint32_t>(nested.size())), -1);
    // The decoder stops descending at the same bound.
    TLV* root = BER2TLV(nested.data(), static_cast<std::uint32_t>(nested.size()));
    ASSERT_NE(root, nullptr);
    int depth = 0;
    for (const TLV* n = root; n && !n->children.empty(); n = n->children[0].get())
        ++depth;
    EXPECT_LE(depth, BER_MAX_DEPTH);
    TLV_free(&root);
}

TEST(BerTest, BuiltTrees) {
    TLV* root = TLV_create(0xE1, 5, nullptr); // constructed: length given is ignored
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(TLV_addChild(root, TLV_create(0xC0, 0, nullptr)), root);
    ASSERT_EQ(TLV_addChild(root, TLV_create(0xC7, 0, nullptr)), root);
    std::array<std::uint8_t, 8> out{};
    EXPECT_EQ(TLV2BER(root, out.data(), out.size()), 6u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0xE1, 0x04, 0xC0, 0x00, 0xC7, 0x00}));
    TLV_free(&root);
    TLV_free(&root); // already none: nothing happens
    TLV_free(nullptr);

    TLV* primitive = TLV_create(0xC7, 0, nullptr);
    TLV* child = TLV_create(0xC0, 0, nullptr);
    EXPECT_EQ(TLV_addChild(primitive, child), nullptr); // caller keeps the child
    TLV_free(&child);
    TLV_free(&primitive);
    EXPECT_EQ(TLV_create(0xC7, 3, nullptr), nullptr); // length without bytes
}

TEST(BerTest, EncoderRefusesInconsistentNodes) {
    std::array<std::uint8_t, 16> out{};
    TLV wrongValue;
    wrongValue.tag = 0xC7;
    wrongValue.length = 4;
    wrongValue.value = {1, 2};
    EXPECT_EQ(TLV2BER(&wrongValue, out.data(), out.size()), 0u);

    // A decoded envelope whose last child was dropped no longer matches its length.
    const Bytes overrun{0xE1, 0x05, 0xC0, 0x00, 0xC1, 0x02, 0xAA, 0xBB};
    TLV* root = BER2TLV(overrun.data(), 8);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(TLV2BER(root, out.data(), out.size()), 0u);
    TLV_free(&root);
}

} // namespace
} // namespace tarq::test
