// Callback invokers, their registration, the card-data conversion and request texts.
#include "core/callbacks.h"
#include "driver/request.h"
#include "protocol_fixture.h"

#include <array>
#include <memory>

namespace tarq::test {
namespace {

class CallbacksTest : public ProtocolTest {};

struct CardCase {
    const char* name;
    Bytes packed;
    std::int32_t n;
    const char* text;
};

TEST(TransformCarddata, Cases) {
    const CardCase cases[] = {
        {"filler at the end", {0x12, 0x34, 0x5F}, 3, "12345"},
        {"separator", {0x12, 0x3D, 0x45}, 3, "123=45"},
        {"zero", {0x12}, 0, ""},
        {"negative", {0x12}, -4, ""},
        {"one byte with filler", {0x4F}, 1, "4"},
        {"one byte, two digits", {0x42}, 1, "42"},
        {"filler only counts last", {0x1F, 0x23}, 2, "1?23"},
        {"high half above 9", {0xAB}, 1, ":"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<char, CARD_TEXT_SIZE> out{};
        out.fill('#');
        trqTransformCarddata(out.data(), out.size(), c.packed.data(), c.n);
        EXPECT_STREQ(out.data(), c.text);
    }
}

TEST(TransformCarddata, LengthFromTheTerminalIsBounded) {
    // 19 bytes on the heap exactly, so ASan sees any read beyond them.
    auto packed = std::make_unique<std::uint8_t[]>(CARD_DATA_LEN);
    for (std::size_t i = 0; i < CARD_DATA_LEN; ++i)
        packed[i] = 0x12;
    for (std::int32_t n : {19, 20, 65535, 0x7FFFFFFF}) {
        SCOPED_TRACE(n);
        auto out = std::make_unique<char[]>(CARD_TEXT_SIZE);
        trqTransformCarddata(out.get(), CARD_TEXT_SIZE, packed.get(), n);
        std::string expected;
        for (std::size_t i = 0; i < CARD_DATA_LEN; ++i)
            expected += "12";
        EXPECT_EQ(std::string(out.get()), expected);
    }
    // A small destination is never overrun either.
    std::array<char, 6> small{};
    trqTransformCarddata(small.data(), small.size(), packed.get(), 19);
    EXPECT_STREQ(small.data(), "1212");
    trqTransformCarddata(small.data(), 1, packed.get(), 19);
    EXPECT_EQ(small[0], '\0');
}

int cardResult = 0;
std::string cardSeen;
int setCard(const char* text) {
    cardSeen = text;
    return cardResult;
}

TEST_F(CallbacksTest, SetCarddataAcceptsOnlyOne) {
    EXPECT_EQ(invokeSetCarddata("123"), 0); // none registered: refused
    storeCallback(0, reinterpret_cast<void*>(&setCard));
    const std::pair<int, int> cases[] = {{1, 1}, {0, 0}, {2, 0}, {-1, 0}};
    for (auto [returned, expected] : cases) {
        cardResult = returned;
        EXPECT_EQ(invokeSetCarddata("4571=29"), expected) << returned;
        EXPECT_EQ(cardSeen, "4571=29");
    }
}

int printResult = 1;
int segmentSeen = -1;
std::string receiptSeen;
int printReceipt(int segment, const char* text) {
    segmentSeen = segment;
    receiptSeen = text;
    return printResult;
}

TEST_F(CallbacksTest, PrintReceiptGetsAtMost1000Characters) {
    EXPECT_EQ(invokePrintReceipt(), 0);
    storeCallback(1, reinterpret_cast<void*>(&printReceipt));
    ctx.gstReceiptData.fill('a'); // all 1001 bytes, no terminator
    ctx.receiptSegment = 0;
    EXPECT_EQ(invokePrintReceipt(), 1);
    EXPECT_EQ(receiptSeen, std::string(1000, 'a'));
    EXPECT_EQ(segmentSeen, 0);
    EXPECT_EQ(ctx.gstReceiptData[1000], 'a'); // the context keeps its own bytes

    const std::pair<int, int> cases[] = {{-1, 1}, {0, 0}, {7, 1}};
    for (auto [returned, expected] : cases) {
        printResult = returned;
        EXPECT_EQ(invokePrintReceipt(), expected) << returned;
    }
}

std::string shownLine1, shownLine2;
int displays = 0;
void display(const char* l1, const char* l2) {
    shownLine1 = l1;
    shownLine2 = l2;
    ++displays;
}

TEST_F(CallbacksTest, DisplayGetsTerminatedCopies) {
    invokeDisplayStatus(); // none registered: nothing happens
    storeCallback(2, reinterpret_cast<void*>(&display));
    initGlobals();
    invokeDisplayStatus();
    EXPECT_EQ(shownLine1, "");
    EXPECT_EQ(shownLine2, "");
    std::copy_n("GODKJENT            ", 20, ctx.statusLine1.begin());
    std::copy_n("FORSØKER Å AVBRYTE  ", 20, ctx.statusLine2.begin());
    invokeDisplayStatus();
    EXPECT_EQ(shownLine1, "GODKJENT            ");
    EXPECT_EQ(shownLine2.size(), 20u);
    EXPECT_EQ(displays, 2);
}

template <class F> void* fn(F* f) {
    return reinterpret_cast<void*>(f);
}

TEST_F(CallbacksTest, SlotsByKind) {
    EXPECT_EQ(invokeAbortQuery(), 0);
    EXPECT_EQ(invokeExtCardConfirm(), 0);
    EXPECT_EQ(invokeVerSigConfirm(), 0);
    invokeAdviceFlag(); // none registered: nothing happens
    static int adviceCalls;
    adviceCalls = 0;
    storeCallback(3, fn(+[] { return 3; }));
    storeCallback(4, fn(+[] { return 2; }));
    storeCallback(5, fn(+[] { return 4; }));
    storeCallback(6, fn(+[] { ++adviceCalls; }));
    EXPECT_EQ(invokeAbortQuery(), 3);
    EXPECT_EQ(invokeExtCardConfirm(), 2);
    EXPECT_EQ(invokeVerSigConfirm(), 4);
    invokeAdviceFlag();
    EXPECT_EQ(adviceCalls, 1);

    // Unknown kinds change nothing.
    const DriverContext before = ctx;
    for (int kind : {-1, 7, 100})
        storeCallback(kind, fn(+[] { return 2; }));
    EXPECT_EQ(ctx.getPosAbortEvent, before.getPosAbortEvent);
    EXPECT_EQ(ctx.trqSetCarddata, before.trqSetCarddata);
    EXPECT_EQ(ctx.trqAdviceFlag, before.trqAdviceFlag);
}

TEST(RequestText, CopiesAtMostTheFieldAndNeverPastTheText) {
    std::array<char, 4> field{};
    field.fill('#');
    copyRequestText(field, nullptr);
    EXPECT_EQ(field, (std::array<char, 4>{}));

    copyRequestText(field, "AB");
    EXPECT_EQ(field, (std::array<char, 4>{'A', 'B', 0, 0}));

    // Exactly as long as the field and not terminated: nothing beyond it may be read (ASan).
    auto exact = std::make_unique<char[]>(4);
    std::copy_n("WXYZ", 4, exact.get());
    copyRequestText(field, exact.get());
    EXPECT_EQ(field, (std::array<char, 4>{'W', 'X', 'Y', 'Z'}));

    std::array<char, 40> host{};
    copyRequestText(host, "a much longer text than the forty characters of the field holds");
    EXPECT_EQ(std::string(host.data(), host.size()), "a much longer text than the forty charac");
}

} // namespace
} // namespace tarq::test
