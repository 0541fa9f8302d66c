// Interpretation of terminal messages: each tag's effect, event and printed line.
#include "protocol/tags.h"
#include "protocol_fixture.h"

#include <cstring>
#include <functional>

namespace tarq::test {
namespace {

#if defined(TARQ_TRACE_CONSOLE)
constexpr bool kTraceConsole = true;
#else
constexpr bool kTraceConsole = false;
#endif

class ParserTest : public ProtocolTest {
  protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        initGlobals();
    }
};

struct TagCase {
    const char* name;
    Bytes message;
    int event;
    const char* printed;
    std::function<void()> check;
};

TEST_F(ParserTest, EachTagSetsItsEventAndLine) {
    const TagCase cases[] = {
        {"open", {0xE1, 0x02, 0xC0, 0x00}, PEVENT_OPEN, "PTAG_TERM_OPEN\n", nullptr},
        {"close", {0xE1, 0x02, 0xC1, 0x00}, PEVENT_CLOSE, "PTAG_TERM_CLOSE\n", nullptr},
        {"confirm", {0xE1, 0x02, 0xCB, 0x00}, PEVENT_CONFIRM, "PTAG_CONFIRM\n", nullptr},
        {"advice", {0xE1, 0x02, 0xD1, 0x00}, PEVENT_ADVICE_FLAG, "PTAG_ADVICE_FLAG\n", nullptr},
        {"versig", {0xE1, 0x02, 0xD4, 0x00}, PEVENT_VERSIG_ASK, "PTAG_VER_SIG\n", nullptr},
        {"cardname", message(0xCE, text("VISA")), PEVENT_EMPTY, "PTAG_TERM_CARDNAME\n", nullptr},
        {"unknown", {0xE1, 0x02, 0xCA, 0x00}, PEVENT_EMPTY, "PTAG_UNKNOWN\n", nullptr},
        {"idle",
         {0xE1, 0x03, 0xCD, 0x01, 0x07},
         PEVENT_IDLE,
         "",
         [] { EXPECT_EQ(ctx.gstResultData, 7); }},
        {"last receipt",
         {0xE1, 0x02, 0xDA, 0x00},
         PEVENT_EMPTY,
         "",
         [] { EXPECT_EQ(ctx.receiptSegment, 0); }},
        {"issuer",
         {0xE1, 0x03, 0xDE, 0x01, 0x2A},
         PEVENT_EMPTY,
         "",
         [] { EXPECT_EQ(ctx.tagIssuerID, 0x2A); }},
        {"track2 length",
         {0xE1, 0x04, 0xDB, 0x02, 0x01, 0x02},
         PEVENT_EMPTY,
         "",
         [] {
             EXPECT_EQ(ctx.track2Length, 258);
             EXPECT_EQ(ctx.track2LengthReceived, 1);
         }},
        {"card", message(0xC5, {0x45, 0x71, 0x23, 0xD2, 0x51}), PEVENT_CARDSWIPE, "",
         [] {
             EXPECT_EQ(ctx.cardReceived, 1);
             EXPECT_EQ(ctx.cardData[0], 0x45);
             EXPECT_EQ(ctx.cardData[4], 0x51);
             EXPECT_EQ(ctx.cardData[5], 0); // the rest of an earlier card is cleared
         }},
        {"status1",
         {0xE1, 0x06, 0xC7, 0x04, 'A', 'B', 'C', 'D'},
         PEVENT_STATUS,
         "",
         [] { EXPECT_EQ(line(ctx.statusLine1), "ABCD                "); }},
        {"status2", message(0xC8, text("GODKJENT")), PEVENT_STATUS, "",
         [] { EXPECT_EQ(line(ctx.statusLine2), "GODKJENT            "); }},
        {"receipt", message(0xCC, text("KVITTERING")), PEVENT_RECEIPT, "",
         [] { EXPECT_STREQ(ctx.gstReceiptData.data(), "KVITTERING"); }},
        {"completed",
         {0xE1, 0x03, 0xDD, 0x01, 0x00},
         PEVENT_TRANS_COMPLETED,
         "PTAG_TRANS_COMPLETED = 0, issuerID=0\n",
         [] { EXPECT_EQ(ctx.gstResultData, 0); }},
        {"not ready",
         {0xE1, 0x04, 0xDD, 0x02, 0x05, 0x09},
         PEVENT_TERM_NOT_READY,
         "PTAG_TRANS_COMPLETED = 5, issuerID=9\n",
         [] { EXPECT_EQ(ctx.issuerID, 9); }},
        {"no receipt",
         {0xE1, 0x03, 0xDD, 0x01, 0x03},
         PEVENT_NO_RECEIPT,
         "PTAG_TRANS_COMPLETED = 3, issuerID=0\n",
         nullptr},
        {"no log",
         {0xE1, 0x03, 0xDD, 0x01, 0x04},
         PEVENT_NO_LOG,
         "PTAG_TRANS_COMPLETED = 4, issuerID=0\n",
         nullptr},
        {"declined",
         {0xE1, 0x04, 0xDD, 0x02, 0x0C, 0x03},
         PEVENT_TRANS_COMPLETED,
         "PTAG_TRANS_COMPLETED = 12, issuerID=3\n",
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        initGlobals();
        ctx.ecrRequestsAnswer = 1;
        ctx.verSigPending = 1;
        ctx.lastSendTime = 0;
        clock_.advanceSeconds(3);
        EXPECT_EQ(feed(c.message), c.event);
        EXPECT_EQ(printed, c.printed);
        // Every element ends the wait for an answer and the signature question.
        EXPECT_EQ(ctx.ecrRequestsAnswer, 0);
        EXPECT_EQ(ctx.verSigPending, 0);
        EXPECT_EQ(ctx.lastSendTime, nowSeconds());
        if (c.check) c.check();
    }
}

TEST_F(ParserTest, LastEventBearingElementWins) {
    EXPECT_EQ(feed({0xE1, 0x04, 0xC0, 0x00, 0xC1, 0x00}), PEVENT_CLOSE);
    EXPECT_EQ(feed({0xE1, 0x06, 0xDA, 0x00, 0xCC, 0x02, 't', 't'}), PEVENT_RECEIPT);
    EXPECT_EQ(ctx.receiptSegment, 0);
    // Elements that set no event leave the earlier one standing wherever they are.
    EXPECT_EQ(feed({0xE1, 0x05, 0xC0, 0x00, 0xDE, 0x01, 0x05}), PEVENT_OPEN);
    // Nested constructed objects are walked into, in message order.
    EXPECT_EQ(feed({0xE1, 0x06, 0xE2, 0x02, 0xC0, 0x00, 0xC1, 0x00}), PEVENT_CLOSE);
    EXPECT_EQ(printed, "PTAG_TERM_OPEN\nPTAG_TERM_CLOSE\n");
}

TEST_F(ParserTest, NoEventWithoutElementsOrEnvelope) {
    EXPECT_EQ(feed({0xE1, 0x00}), -1);
    EXPECT_EQ(feed({0xC0, 0x00}), -1); // not an envelope: not interpreted
    EXPECT_EQ(printed, "");
    EXPECT_EQ(parserHandleTlv(nullptr), nullptr);
}

TEST_F(ParserTest, EachMessageReplacesThePreviousEvent) {
    EXPECT_EQ(feed({0xE1, 0x02, 0xC0, 0x00}), PEVENT_OPEN);
    ASSERT_NE(parserCurrentEvent(), nullptr);
    // A message without elements leaves no event behind (the old one is freed; ASan checks).
    EXPECT_EQ(feed({0xE1, 0x00}), -1);
    EXPECT_EQ(parserCurrentEvent(), nullptr);
}

TEST_F(ParserTest, StatusTextsClearTheAbortPoll) {
    struct Case {
        Bytes message;
        const char* line1Before;
        int callAbortAfter;
        const char* printed;
    };
    const Case cases[] = {
        {message(0xC7, text("ARBEJDER...         ")), "", 0, "PTAG_STATUS1 --\n"},
        {message(0xC7, text("VENT                ")), "", 1, ""},
        // ARBEJ in line 2 counts for line 1's search (the two are read as one text)
        {message(0xC7, text("VENT")), "", 1, ""},
        {message(0xC8, text("TRANS ABORTED       ")), "", 0, "PTAG_STATUS2 ____\n"},
        // ABORTED in line 1 does not count for line 2's search
        {message(0xC8, text("OK                  ")), "ABORTED", 1, ""},
        // ABORTED does not count for line 1's search
        {message(0xC7, text("ABORTED             ")), "", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(printed);
        initGlobals();
        ctx.callAbortFunc = 1;
        if (*c.line1Before) {
            ctx.statusLine1.fill(' ');
            std::copy_n(c.line1Before, std::strlen(c.line1Before), ctx.statusLine1.begin());
        }
        EXPECT_EQ(feed(c.message), PEVENT_STATUS);
        EXPECT_EQ(ctx.callAbortFunc, c.callAbortAfter);
        EXPECT_EQ(printed, c.printed);
    }
    // Line 2 already holding ARBEJ: found through the joined text.
    initGlobals();
    ctx.callAbortFunc = 1;
    ctx.statusLine2.fill(' ');
    std::copy_n("ARBEJDER", 8, ctx.statusLine2.begin());
    feed(message(0xC7, text("VENT")));
    EXPECT_EQ(ctx.callAbortFunc, 0);
}

TEST_F(ParserTest, StatusLengthLimits) {
    feed(message(0xC7, text("0123456789ABCDEFGHIJKLMNOP")));
    EXPECT_EQ(line(ctx.statusLine1), "0123456789ABCDEFGHIJ");
    // A value longer than 1001 bytes is not a status text: line kept, event still 8.
    EXPECT_EQ(feed(message(0xC7, Bytes(1002, 'x'))), PEVENT_STATUS);
    EXPECT_EQ(line(ctx.statusLine1), "0123456789ABCDEFGHIJ");
    feed(message(0xC7, Bytes(1001, 'y')));
    EXPECT_EQ(line(ctx.statusLine1), std::string(20, 'y'));
    feed(message(0xC8, {}));
    EXPECT_EQ(line(ctx.statusLine2), std::string(20, ' '));
}

std::string shown1, shown2;
int displayCalls = 0;
void recordDisplay(const char* l1, const char* l2) {
    shown1 = l1;
    shown2 = l2;
    ++displayCalls;
}

TEST_F(ParserTest, TerminalAbortRewritesTheDisplay) {
    ctx.trqDisplayStatus = recordDisplay;
    struct Case {
        const char* line1;
        const char* expect1;
        const char* expect2;
    };
    const Case cases[] = {
        {"TERMINAL BLOKKERT   ", "TERMINAL BLOKKERT   ", "AVBR FRA TERMINAL   "},
        {"TERMINAL BLOKKERT!! ", "TERMINAL BLOKKERT!! ", "AVBR FRA TERMINAL   "},
        {"TERMINAL BLOKKER    ", "AVBR FRA TERMINAL   ", "LINE TWO            "},
        {"GODKJENT            ", "AVBR FRA TERMINAL   ", "LINE TWO            "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line1);
        std::copy_n(c.line1, 20, ctx.statusLine1.begin());
        std::copy_n("LINE TWO            ", 20, ctx.statusLine2.begin());
        ctx.callAbortFunc = 1;
        displayCalls = 0;
        EXPECT_EQ(feed({0xE1, 0x02, 0xC9, 0x00}), PEVENT_EMPTY);
        // A trace build also logs the display callback.
        EXPECT_EQ(printed, kTraceConsole ? "PTAG_TERM_ABORT\ncallback : trqDisplayStatus 0\n"
                                         : "PTAG_TERM_ABORT\n");
        EXPECT_EQ(ctx.callAbortFunc, 0);
        EXPECT_EQ(line(ctx.statusLine1), c.expect1);
        EXPECT_EQ(line(ctx.statusLine2), c.expect2);
        EXPECT_EQ(displayCalls, 1);
        EXPECT_EQ(shown1, c.expect1);
        EXPECT_EQ(shown2, c.expect2);
    }
    // The abort keeps the event of an earlier element of the same message.
    EXPECT_EQ(feed({0xE1, 0x04, 0xCB, 0x00, 0xC9, 0x00}), PEVENT_CONFIRM);
}

TEST_F(ParserTest, ReceiptKeepsAtMost1001Bytes) {
    Bytes big(1500, 'r');
    big[1000] = 'L';
    big[1001] = 'X';
    EXPECT_EQ(feed(message(0xCC, big)), PEVENT_RECEIPT);
    EXPECT_EQ(ctx.gstReceiptData[1000], 'L');
    EXPECT_EQ(ctx.gstReceiptData[999], 'r');
    // A shorter receipt clears what a longer one left.
    feed(message(0xCC, text("kort")));
    EXPECT_STREQ(ctx.gstReceiptData.data(), "kort");
    EXPECT_EQ(ctx.gstReceiptData[1000], 0);
}

TEST_F(ParserTest, CardValueIsBoundedTo19Bytes) {
    Bytes card(25, 0x99);
    card[18] = 0x12;
    feed(message(0xC5, card));
    EXPECT_EQ(ctx.cardData[18], 0x12);
    feed(message(0xC5, {}));
    EXPECT_EQ(ctx.cardData, (std::array<std::uint8_t, 19>{}));
    EXPECT_EQ(ctx.cardReceived, 1);
}

// Old-data corrections: in a payment, results and receipts before this payment's card (and its
// track-2 length) belong to an earlier transaction.
TEST_F(ParserTest, OldDataCorrections) {
    struct Case {
        const char* name;
        int requestKind;
        bool card;
        bool track2;
        std::uint8_t result;
        int expectResult;
        int expectIssuer;
    };
    const Case cases[] = {
        {"payment, no card", 1, false, false, 0, 1, 0},
        {"payment, card only", 1, true, false, 0, 1, 0},
        {"payment, length only", 1, false, true, 23, 1, 0},
        {"payment, both", 1, true, true, 0, 0, 7},
        {"payment, success 26 no card", 1, false, false, 26, 1, 0},
        {"payment, 27 is no success", 1, false, false, 27, 27, 7},
        {"payment, declined", 1, false, false, 12, 12, 7},
        {"admin", 2, false, false, 0, 0, 7},
        {"admin 3", 3, false, false, 24, 24, 7},
        {"open", 0, false, false, 0, 0, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        initGlobals();
        ctx.requestKind = c.requestKind;
        if (c.card) feed(message(0xC5, Bytes(19, 0x11)));
        if (c.track2) feed({0xE1, 0x04, 0xDB, 0x02, 0x00, 0x13});
        EXPECT_EQ(feed({0xE1, 0x04, 0xDD, 0x02, c.result, 0x07}), PEVENT_TRANS_COMPLETED);
        EXPECT_EQ(ctx.gstResultData, c.expectResult);
        EXPECT_EQ(ctx.issuerID, c.expectIssuer);
    }
}

TEST_F(ParserTest, NotReadyResultKeepsItsEventUnderCorrection) {
    ctx.requestKind = 1;
    EXPECT_EQ(feed({0xE1, 0x04, 0xDD, 0x02, 0x05, 0x02}), PEVENT_TERM_NOT_READY);
    EXPECT_EQ(ctx.gstResultData, 5);
    EXPECT_EQ(ctx.issuerID, 2);
}

TEST_F(ParserTest, ReceiptOfAnEarlierPaymentIsReplacedByANotice) {
    ctx.requestKind = 1;
    EXPECT_EQ(feed(message(0xCC, text("GAMMEL KVITTERING"))), PEVENT_RECEIPT);
    EXPECT_EQ(ctx.gstReceiptData, (std::array<char, 1001>{}));
    EXPECT_EQ(line(ctx.statusLine1), "INGEN KVITTERING    ");
    EXPECT_EQ(line(ctx.statusLine2), "TA KOPI SISTE TRANS.");

    initGlobals();
    ctx.requestKind = 1;
    feed(message(0xC5, Bytes(19, 0x11)));
    feed({0xE1, 0x04, 0xDB, 0x02, 0x00, 0x13});
    feed(message(0xCC, text("NY KVITTERING")));
    EXPECT_STREQ(ctx.gstReceiptData.data(), "NY KVITTERING");

    initGlobals();
    ctx.requestKind = 2; // reports are receipts without any card
    feed(message(0xCC, text("RAPPORT")));
    EXPECT_STREQ(ctx.gstReceiptData.data(), "RAPPORT");
}

TEST_F(ParserTest, IssuerNeedsMoreThanFiveBytesAndASecondByte) {
    ctx.issuerID = 4;
    // Result only, in a 5-byte message: issuer kept.
    feed({0xE1, 0x03, 0xDD, 0x01, 0x0C});
    EXPECT_EQ(ctx.issuerID, 4);
    // Result only, but the message is longer through another element: still no second byte.
    feed({0xE1, 0x05, 0xC0, 0x00, 0xDD, 0x01, 0x0C});
    EXPECT_EQ(ctx.issuerID, 4);
    feed({0xE1, 0x04, 0xDD, 0x02, 0x0C, 0x08});
    EXPECT_EQ(ctx.issuerID, 8);
}

// Elements shorter than their layout: only the bytes that are there are used.
TEST_F(ParserTest, ShortValuesAreIgnoredForTheMissingBytes) {
    ctx.gstResultData = 9;
    EXPECT_EQ(feed({0xE1, 0x02, 0xCD, 0x00}), PEVENT_IDLE);
    EXPECT_EQ(ctx.gstResultData, 9);

    ctx.tagIssuerID = 6;
    feed({0xE1, 0x02, 0xDE, 0x00});
    EXPECT_EQ(ctx.tagIssuerID, 6);

    ctx.track2Length = 19;
    feed({0xE1, 0x03, 0xDB, 0x01, 0x7F});
    EXPECT_EQ(ctx.track2Length, 19);
    feed({0xE1, 0x02, 0xDB, 0x00});
    EXPECT_EQ(ctx.track2Length, 19);

    ctx.requestKind = 2;
    ctx.gstResultData = 12;
    EXPECT_EQ(feed({0xE1, 0x02, 0xDD, 0x00}), PEVENT_TRANS_COMPLETED);
    EXPECT_EQ(ctx.gstResultData, 12);
    EXPECT_EQ(printed, "PTAG_TRANS_COMPLETED = 12, issuerID=0\n");
}

} // namespace
} // namespace tarq::test
