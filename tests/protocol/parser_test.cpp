// Interpretation of terminal messages: each tag's effect, event and printed line.
#include "protocol/tags.h"
#include "protocol_fixture.h"

#include <cstring>

namespace tarq::test {
namespace {

#if defined(TARQ_TRACE_CONSOLE)
constexpr bool kTraceConsole = true;
#else
constexpr bool kTraceConsole = false;
#endif

void put(StatusLine& l, const char* s) {
    l.fill(' ');
    std::copy_n(s, std::strlen(s), l.begin());
}

class ParserTest : public ProtocolTest {
  protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        initGlobals();
    }
};

TEST_F(ParserTest, EachTagSetsItsEventAndLine) {
    using Field = std::int32_t DriverContext::*;
    struct Case {
        Bytes message;
        int event;
        const char* printed;
        Field field; // the context field the element sets, if any
        std::int32_t value;
    };
    const Case cases[] = {
        {{0xE1, 0x02, 0xC0, 0x00}, PEVENT_OPEN, "PTAG_TERM_OPEN\n", nullptr, 0},
        {{0xE1, 0x02, 0xC1, 0x00}, PEVENT_CLOSE, "PTAG_TERM_CLOSE\n", nullptr, 0},
        {{0xE1, 0x02, 0xCB, 0x00}, PEVENT_CONFIRM, "PTAG_CONFIRM\n", nullptr, 0},
        {{0xE1, 0x02, 0xD1, 0x00}, PEVENT_ADVICE_FLAG, "PTAG_ADVICE_FLAG\n", nullptr, 0},
        {{0xE1, 0x02, 0xD4, 0x00}, PEVENT_VERSIG_ASK, "PTAG_VER_SIG\n", nullptr, 0},
        {message(0xCE, text("VISA")), PEVENT_EMPTY, "PTAG_TERM_CARDNAME\n", nullptr, 0},
        {{0xE1, 0x02, 0xCA, 0x00}, PEVENT_EMPTY, "PTAG_UNKNOWN\n", nullptr, 0},
        {{0xE1, 0x03, 0xCD, 0x01, 0x07}, PEVENT_IDLE, "", &DriverContext::gstResultData, 7},
        {{0xE1, 0x02, 0xDA, 0x00}, PEVENT_EMPTY, "", &DriverContext::receiptSegment, 0},
        {{0xE1, 0x03, 0xDE, 0x01, 0x2A}, PEVENT_EMPTY, "", &DriverContext::tagIssuerID, 0x2A},
        {{0xE1, 0x04, 0xDB, 0x02, 0x01, 0x02}, PEVENT_EMPTY, "", &DriverContext::track2Length, 258},
        {message(0xC5, {0x45, 0x71}), PEVENT_CARDSWIPE, "", &DriverContext::cardReceived, 1},
        {message(0xC7, text("ABCD")), PEVENT_STATUS, "", nullptr, 0},
        {message(0xC8, text("GODKJENT")), PEVENT_STATUS, "", nullptr, 0},
        {message(0xCC, text("KVITTERING")), PEVENT_RECEIPT, "", nullptr, 0},
        {{0xE1, 0x03, 0xDD, 0x01, 0x00},
         PEVENT_TRANS_COMPLETED,
         "PTAG_TRANS_COMPLETED = 0, issuerID=0\n",
         &DriverContext::gstResultData,
         0},
        {{0xE1, 0x04, 0xDD, 0x02, 0x05, 0x09},
         PEVENT_TERM_NOT_READY,
         "PTAG_TRANS_COMPLETED = 5, issuerID=9\n",
         &DriverContext::issuerID,
         9},
        {{0xE1, 0x03, 0xDD, 0x01, 0x03},
         PEVENT_NO_RECEIPT,
         "PTAG_TRANS_COMPLETED = 3, issuerID=0\n",
         &DriverContext::gstResultData,
         3},
        {{0xE1, 0x03, 0xDD, 0x01, 0x04},
         PEVENT_NO_LOG,
         "PTAG_TRANS_COMPLETED = 4, issuerID=0\n",
         &DriverContext::gstResultData,
         4},
        {{0xE1, 0x04, 0xDD, 0x02, 0x0C, 0x03},
         PEVENT_TRANS_COMPLETED,
         "PTAG_TRANS_COMPLETED = 12, issuerID=3\n",
         &DriverContext::issuerID,
         3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int{c.message[2]});
        initGlobals();
        ctx.ecrRequestsAnswer = 1;
        ctx.verSigPending = 1;
        ctx.lastSendTime = 0;
        clock_.advanceMs(3000);
        EXPECT_EQ(feed(c.message), c.event);
        EXPECT_EQ(printed, c.printed);
        // Every element ends the wait for an answer and the signature question.
        EXPECT_EQ(ctx.ecrRequestsAnswer, 0);
        EXPECT_EQ(ctx.verSigPending, 0);
        EXPECT_EQ(ctx.lastSendTime, nowSeconds());
        if (c.field) {
            EXPECT_EQ(ctx.*c.field, c.value);
        }
    }
}

TEST_F(ParserTest, LastEventBearingElementWins) {
    EXPECT_EQ(feed({0xE1, 0x04, 0xC0, 0x00, 0xC1, 0x00}), PEVENT_CLOSE);
    EXPECT_EQ(feed({0xE1, 0x06, 0xDA, 0x00, 0xCC, 0x02, 't', 't'}), PEVENT_RECEIPT);
    EXPECT_EQ(ctx.receiptSegment, 0);
    // Elements that set no event leave the earlier one standing wherever they are.
    EXPECT_EQ(feed({0xE1, 0x05, 0xC0, 0x00, 0xDE, 0x01, 0x05}), PEVENT_OPEN);
    // A message without elements leaves no event behind (the old one is freed; ASan checks).
    EXPECT_EQ(feed({0xE1, 0x00}), -1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(parserCurrentEvent(), nullptr);
    EXPECT_EQ(parserHandleTlv(nullptr), nullptr);
}

TEST_F(ParserTest, StatusTextsClearTheAbortPoll) {
    struct Case {
        Bytes message;
        const char* line1Before;
        const char* line2Before;
        int callAbortAfter;
        const char* printed;
    };
    // Line 1's search reads both lines as one text; line 2's reads line 2 only.
    const Case cases[] = {
        {message(0xC7, text("ARBEJDER...         ")), "", "", 0, "PTAG_STATUS1 --\n"},
        {message(0xC7, text("VENT                ")), "", "", 1, ""},
        {message(0xC7, text("VENT")), "", "ARBEJDER", 0, "PTAG_STATUS1 --\n"},
        {message(0xC8, text("TRANS ABORTED       ")), "", "", 0, "PTAG_STATUS2 ____\n"},
        {message(0xC8, text("OK                  ")), "ABORTED", "", 1, ""},
        {message(0xC7, text("ABORTED             ")), "", "", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.message.begin() + 4, c.message.end()));
        initGlobals();
        ctx.callAbortFunc = 1;
        put(ctx.statusLine1, c.line1Before);
        put(ctx.statusLine2, c.line2Before);
        EXPECT_EQ(feed(c.message), PEVENT_STATUS);
        EXPECT_EQ(ctx.callAbortFunc, c.callAbortAfter);
        EXPECT_EQ(printed, c.printed);
    }
}

TEST_F(ParserTest, StatusLinesTakeTwentyCharacters) {
    feed(message(0xC7, text("0123456789ABCDEFGHIJKLMNOP")));
    EXPECT_EQ(line(ctx.statusLine1), "0123456789ABCDEFGHIJ");
    // A value longer than 1001 bytes is not a status text: line kept, event still 8.
    EXPECT_EQ(feed(message(0xC7, Bytes(1002, 'x'))), PEVENT_STATUS);
    EXPECT_EQ(line(ctx.statusLine1), "0123456789ABCDEFGHIJ");
    feed(message(0xC7, Bytes(1001, 'y')));
    EXPECT_EQ(line(ctx.statusLine1), std::string(20, 'y'));
    feed(message(0xC8, text("GODKJENT")));
    EXPECT_EQ(line(ctx.statusLine2), "GODKJENT            ");
    feed(message(0xC8, {}));
    EXPECT_EQ(line(ctx.statusLine2), std::string(20, ' '));
}

std::vector<std::pair<std::string, std::string>> shown;
void recordDisplay(const char* l1, const char* l2) {
    shown.emplace_back(l1, l2);
}

TEST_F(ParserTest, TerminalAbortRewritesTheDisplay) {
    ctx.trqDisplayStatus = recordDisplay;
    const std::string abortText = "AVBR FRA TERMINAL   ", two = "LINE TWO            ";
    struct Case {
        std::string line1, expect1, expect2;
    };
    const Case cases[] = {
        {"TERMINAL BLOKKERT   ", "TERMINAL BLOKKERT   ", abortText},
        {"TERMINAL BLOKKERT!! ", "TERMINAL BLOKKERT!! ", abortText},
        {"TERMINAL BLOKKER    ", abortText, two},
        {"GODKJENT            ", abortText, two},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line1);
        put(ctx.statusLine1, c.line1.c_str());
        put(ctx.statusLine2, two.c_str());
        ctx.callAbortFunc = 1;
        shown.clear();
        EXPECT_EQ(feed({0xE1, 0x02, 0xC9, 0x00}), PEVENT_EMPTY);
        // A trace build also logs the display callback.
        EXPECT_EQ(printed, kTraceConsole ? "PTAG_TERM_ABORT\ncallback : trqDisplayStatus 0\n"
                                         : "PTAG_TERM_ABORT\n");
        EXPECT_EQ(ctx.callAbortFunc, 0);
        EXPECT_EQ(line(ctx.statusLine1), c.expect1);
        EXPECT_EQ(line(ctx.statusLine2), c.expect2);
        EXPECT_EQ(shown, (decltype(shown){{c.expect1, c.expect2}}));
    }
    // The abort keeps the event of an earlier element of the same message.
    EXPECT_EQ(feed({0xE1, 0x04, 0xCB, 0x00, 0xC9, 0x00}), PEVENT_CONFIRM);
}

TEST_F(ParserTest, ReceiptAndCardAreCutToTheirFields) {
    Bytes big(1500, 'r');
    big[1000] = 'L';
    EXPECT_EQ(feed(message(0xCC, big)), PEVENT_RECEIPT);
    EXPECT_EQ(std::string(ctx.gstReceiptData.begin(), ctx.gstReceiptData.end()),
              std::string(1000, 'r') + "L");
    // A shorter receipt clears what a longer one left.
    feed(message(0xCC, text("kort")));
    EXPECT_STREQ(ctx.gstReceiptData.data(), "kort");
    EXPECT_EQ(ctx.gstReceiptData[1000], 0);

    Bytes card(25, 0x99);
    card[18] = 0x12;
    feed(message(0xC5, card));
    EXPECT_EQ(Bytes(ctx.cardData.begin(), ctx.cardData.end()),
              Bytes(card.begin(), card.begin() + 19));
    // A shorter card clears what a longer one left.
    feed(message(0xC5, {}));
    EXPECT_EQ(ctx.cardData, (std::array<std::uint8_t, 19>{}));
}

// Old-data corrections: in a payment, results and receipts before this payment's card (and its
// track-2 length) belong to an earlier transaction.
TEST_F(ParserTest, OldDataCorrections) {
    struct Case {
        const char* name;
        int requestKind;
        bool card, track2;
        std::uint8_t result;
        int expectResult, expectIssuer, event;
    };
    const Case cases[] = {
        {"payment, no card", 1, false, false, 0, 1, 0, PEVENT_TRANS_COMPLETED},
        {"payment, card only", 1, true, false, 0, 1, 0, PEVENT_TRANS_COMPLETED},
        {"payment, length only", 1, false, true, 23, 1, 0, PEVENT_TRANS_COMPLETED},
        {"payment, both", 1, true, true, 0, 0, 7, PEVENT_TRANS_COMPLETED},
        {"payment, success 26 no card", 1, false, false, 26, 1, 0, PEVENT_TRANS_COMPLETED},
        {"payment, 27 is no success", 1, false, false, 27, 27, 7, PEVENT_TRANS_COMPLETED},
        {"payment, declined", 1, false, false, 12, 12, 7, PEVENT_TRANS_COMPLETED},
        {"payment, not ready", 1, false, false, 5, 5, 7, PEVENT_TERM_NOT_READY},
        {"admin", 2, false, false, 0, 0, 7, PEVENT_TRANS_COMPLETED},
        {"admin 3", 3, false, false, 24, 24, 7, PEVENT_TRANS_COMPLETED},
        {"open", 0, false, false, 0, 0, 7, PEVENT_TRANS_COMPLETED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        initGlobals();
        ctx.requestKind = c.requestKind;
        if (c.card) feed(message(0xC5, Bytes(19, 0x11)));
        if (c.track2) feed({0xE1, 0x04, 0xDB, 0x02, 0x00, 0x13});
        EXPECT_EQ(feed({0xE1, 0x04, 0xDD, 0x02, c.result, 0x07}), c.event);
        EXPECT_EQ(ctx.gstResultData, c.expectResult);
        EXPECT_EQ(ctx.issuerID, c.expectIssuer);
    }
}

TEST_F(ParserTest, ReceiptOfAnEarlierPaymentIsReplacedByANotice) {
    ctx.requestKind = 1;
    EXPECT_EQ(feed(message(0xCC, text("GAMMEL KVITTERING"))), PEVENT_RECEIPT);
    EXPECT_EQ(ctx.gstReceiptData, (std::array<char, 1001>{}));
    EXPECT_EQ(line(ctx.statusLine1), "INGEN KVITTERING    ");
    EXPECT_EQ(line(ctx.statusLine2), "TA KOPI SISTE TRANS.");

    feed(message(0xC5, Bytes(19, 0x11)));
    feed({0xE1, 0x04, 0xDB, 0x02, 0x00, 0x13});
    feed(message(0xCC, text("NY KVITTERING")));
    EXPECT_STREQ(ctx.gstReceiptData.data(), "NY KVITTERING");

    initGlobals();
    ctx.requestKind = 2; // reports are receipts without any card
    feed(message(0xCC, text("RAPPORT")));
    EXPECT_STREQ(ctx.gstReceiptData.data(), "RAPPORT");
}

// The issuer needs a second byte of the result, in a message of more than five bytes; elements
// shorter than their layout are ignored for the missing bytes.
TEST_F(ParserTest, ShortValuesAreIgnoredForTheMissingBytes) {
    ctx.gstResultData = 9;
    EXPECT_EQ(feed({0xE1, 0x02, 0xCD, 0x00}), PEVENT_IDLE);
    EXPECT_EQ(ctx.gstResultData, 9);

    ctx.tagIssuerID = 6;
    feed({0xE1, 0x02, 0xDE, 0x00});
    EXPECT_EQ(ctx.tagIssuerID, 6);

    ctx.track2Length = 19;
    feed({0xE1, 0x03, 0xDB, 0x01, 0x7F});
    feed({0xE1, 0x02, 0xDB, 0x00});
    EXPECT_EQ(ctx.track2Length, 19);

    ctx.requestKind = 2;
    ctx.gstResultData = 12;
    EXPECT_EQ(feed({0xE1, 0x02, 0xDD, 0x00}), PEVENT_TRANS_COMPLETED);
    EXPECT_EQ(ctx.gstResultData, 12);
    EXPECT_EQ(printed, "PTAG_TRANS_COMPLETED = 12, issuerID=0\n");

    ctx.issuerID = 4;
    feed({0xE1, 0x03, 0xDD, 0x01, 0x0C});
    feed({0xE1, 0x05, 0xC0, 0x00, 0xDD, 0x01, 0x0C});
    EXPECT_EQ(ctx.issuerID, 4);
    feed({0xE1, 0x04, 0xDD, 0x02, 0x0C, 0x08});
    EXPECT_EQ(ctx.issuerID, 8);
}

} // namespace
} // namespace tarq::test
