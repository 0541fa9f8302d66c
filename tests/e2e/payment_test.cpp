// Card payments end to end: the terminal's dialogues and the cash register's callbacks.
#include "e2e_fixture.h"

namespace tarq::e2e {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(E2E, ApprovedPurchaseWithReceiptsThenASecondOne) {
    openWith({{"result", "0"}, {"issuer", "3"}});
    int r = -1;
    const std::string out = test::captureStdout([&] { r = purchase(1250); });
    EXPECT_EQ(r, TRQ_APPROVED);
    EXPECT_EQ(out, "PTAG_TRANS_COMPLETED = 0, issuerID=3\n");

    ASSERT_EQ(rec.cards.size(), 1u);
    EXPECT_EQ(rec.cards[0], "4571999900001234=2812101");
    ASSERT_EQ(rec.receipts.size(), 2u);
    EXPECT_EQ(rec.segments[0], 1); // more segments follow
    EXPECT_EQ(rec.segments[1], 0); // the last one
    EXPECT_TRUE(contains(rec.receipts[0], "KJ\xD8P      NOK 12,50\n"));
    EXPECT_TRUE(contains(rec.receipts[1], "KUNDENS KOPI"));
    EXPECT_TRUE(rec.displayed("SETT INN KORT"));
    EXPECT_TRUE(rec.displayed("BEL\xD8P NOK 12,50"));
    EXPECT_TRUE(rec.displayed("GODKJENT"));
    // The final display: line 1 blanked for result 0, line 2 as the terminal left it.
    EXPECT_EQ(rec.displays.back().first, std::string(20, ' '));

    // The terminal saw the request: MI, currency 578 (0x0242), the 53-byte record with 1250.
    const std::string log = terminalLog();
    EXPECT_TRUE(contains(log, "C4 PTAG_MI [31]"));
    EXPECT_TRUE(contains(log, "C3 PTAG_CURRENCYCODE [02 42]"));
    EXPECT_TRUE(contains(log, "D5 PTAG_NORTRANS type=0 amount=1250 purchase=1250"));
    EXPECT_TRUE(contains(log, "D7 PTAG_RECEIPTNUMBER [01]"));
    EXPECT_TRUE(contains(log, "D7 PTAG_RECEIPTNUMBER [02]"));

    rec.clearSeen();
    EXPECT_EQ(purchase(9900), TRQ_APPROVED);
    EXPECT_EQ(rec.receipts.size(), 2u);
    EXPECT_TRUE(contains(terminalLog(), "amount=9900"));
}

// The terminal's results come back as they are: declined (its line 1 stays, results 1..22),
// "no receipt" and "nothing to reconcile"; then the next payment is approved.
TEST_F(E2E, TerminalResultsComeBackThenApproved) {
    openWith({{"result", "10,3,4,0"}});
    EXPECT_EQ(purchase(), 10);
    EXPECT_EQ(rec.displays.back().first.rfind("AVVIST", 0), 0u);
    EXPECT_EQ(rec.receipts.size(), 2u);
    EXPECT_EQ(purchase(), TRQ_NO_RECEIPT);
    EXPECT_EQ(purchase(), TRQ_NO_LOG);
    EXPECT_EQ(purchase(), TRQ_APPROVED);
}

TEST_F(E2E, RefusedCardAbortsThePaymentThenNextIsApproved) {
    openWith({{"abort-result", "17"}});
    rec.cardAnswer = 0;
    EXPECT_EQ(purchase(), 17);
    EXPECT_EQ(rec.cards.size(), 1u);
    EXPECT_TRUE(rec.receipts.empty());
    EXPECT_TRUE(contains(terminalLog(), "C9 PTAG_TERM_ABORT"));
    rec.clearSeen();
    rec.cardAnswer = 1;
    EXPECT_EQ(purchase(), TRQ_APPROVED);
}

TEST_F(E2E, CashRegisterAbortsOnceAndIsNotAskedAgain) {
    openWith({{"card-delay", "3000"}});
    rec.abortOnceWhen([] { return rec.displayed("SETT INN KORT"); });
    EXPECT_EQ(purchase(), 17);
    EXPECT_GT(rec.abortedAtCall, 0);
    EXPECT_EQ(rec.abortCalls, rec.abortedAtCall); // not asked after the yes
    EXPECT_TRUE(rec.cards.empty());
    EXPECT_TRUE(rec.displayed("FORS\xD8KER \xC5 AVBRYTE"));
    rec.clearSeen();
    EXPECT_EQ(purchase(), TRQ_APPROVED);
}

TEST_F(E2E, TerminalAbortEndsThePaymentThenNextIsApproved) {
    openWith({{"terminal-abort", "1"}});
    EXPECT_EQ(purchase(), 17);
    EXPECT_TRUE(rec.displayed("AVBR FRA TERMINAL"));
}

TEST_F(E2E, TerminalNotReadyIsResentAfterTheWait) {
    openWith({{"not-ready", "1"}});
    int r = -1;
    const double seconds = secondsFor([&] { r = purchase(); });
    EXPECT_EQ(r, TRQ_APPROVED);
    EXPECT_GE(seconds, 6.0); // the driver waits more than 6 s before sending again
    EXPECT_TRUE(rec.displayed("VENT"));
    const std::string log = terminalLog();
    const auto first = log.find("C3 PTAG_CURRENCYCODE");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find("C3 PTAG_CURRENCYCODE", first + 1), std::string::npos);
    rec.clearSeen();
    EXPECT_EQ(purchase(), TRQ_APPROVED);
}

TEST_F(E2E, SilentTerminalGivesNoConnectionThenRecovers) {
    openWith({{"silence", "1"}});
    EXPECT_EQ(purchase(), TRQ_NO_CONNECTION);
    ASSERT_FALSE(rec.displays.empty());
    EXPECT_EQ(rec.displays.back().second, "INGEN FORBINDELSE T.");
    rec.clearSeen();
    EXPECT_EQ(purchase(), TRQ_APPROVED);
}

struct ConfirmCase {
    const char* name;
    const char* setting;
    int confirmExtCard;
    int answer;
    int expected;
    friend void PrintTo(const ConfirmCase& c, std::ostream* os) { *os << c.name; }
};

const ConfirmCase kConfirmations[] = {
    {"ExtCardAccepted", "ext-card", 1, 1, TRQ_APPROVED},
    {"ExtCardRejected", "ext-card", 1, 2, 17},
    {"SignatureAccepted", "signature", 0, 1, TRQ_APPROVED},
    {"SignatureRejected", "signature", 0, 2, 17},
};

class Confirmations : public E2E, public ::testing::WithParamInterface<ConfirmCase> {};

TEST_P(Confirmations, CashRegisterVerdictDecides) {
    const ConfirmCase& c = GetParam();
    openWith({{c.setting, "1"}});
    rec.extCardAnswer = c.answer;
    rec.verSigAnswer = c.answer;
    EXPECT_EQ(purchase(1250, c.confirmExtCard), c.expected);
    if (c.confirmExtCard) {
        EXPECT_EQ(rec.extCardCalls, 1);
        EXPECT_TRUE(contains(terminalLog(), "D8 PTAG_CONFIRMEEXTCARD"));
        EXPECT_TRUE(
            contains(terminalLog(), c.answer == 1 ? "CF PTAG_EXTPOSOK" : "D0 PTAG_EXTPOSNOTOK"));
    } else {
        EXPECT_EQ(rec.verSigCalls, 1);
        EXPECT_TRUE(
            contains(terminalLog(), c.answer == 1 ? "D3 PTAG_VER_SIG_OK" : "D4 PTAG_VER_SIG"));
    }
    rec.clearSeen();
    EXPECT_EQ(purchase(1250, c.confirmExtCard), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Payments, Confirmations, ::testing::ValuesIn(kConfirmations),
                         [](const auto& p) { return std::string(p.param.name); });

// Link faults on the line in both directions must not change the outcome of a payment, nor
// deliver a receipt twice.
class LinkFaults : public E2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(LinkFaults, PurchaseStillCompletesOnce) {
    const std::string fault = GetParam();
    const auto eq = fault.find('=');
    openWith({{fault.substr(0, eq), fault.substr(eq + 1)}});
    EXPECT_EQ(purchase(), TRQ_APPROVED);
    EXPECT_EQ(rec.cards.size(), 1u);
    EXPECT_EQ(rec.receipts.size(), 2u);
    EXPECT_TRUE(contains(terminalLog(), "fault:"));
}

// Frames from the cash register: 1 open, 2 MI, 3 currency, 4 payment record, 5/6 receipt
// numbers. Frames from the terminal: 1 status, 2 card, 3-5 status, 6/7 receipts, 8 result.
INSTANTIATE_TEST_SUITE_P(Payments, LinkFaults,
                         ::testing::Values("nak=2", "nak=4", "wack=3", "wack=5", "bad-crc=2",
                                           "repeat=6", "noise=2", "pause=6"),
                         [](const auto& p) {
                             std::string n = p.param;
                             for (char& ch : n)
                                 if (ch == '=' || ch == '-') ch = '_';
                             return n;
                         });

} // namespace
} // namespace tarq::e2e
