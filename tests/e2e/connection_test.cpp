// Opening and closing the line to a terminal on a real pseudo-terminal.
#include "e2e_fixture.h"

namespace tarq::e2e {
namespace {

TEST_F(E2E, OpenTwiceStaysOpenCloseTwiceAndReopen) {
    startTerminal();
    registerCallbacks();
    const OpCase opens[] = {
        {"OpenRS232", TARQ_OP(trqOpenRS232()), TRQ_OPEN_OK, "trqOpenRS232\n"},
        {"Open", TARQ_OP(trqOpen("", 0)), TRQ_OPEN_ALREADY, "TARQ already open 0 100\n"},
    };
    expectRows(opens);
    EXPECT_EQ(purchase(), TRQ_APPROVED);
    const OpCase closes[] = {
        {"Close", TARQ_OP(trqCloseRS232()), TRQ_CLOSE_OK, "trqCloseRS232 0 99\n"},
        {"CloseAgain", TARQ_OP(trqCloseRS232()), TRQ_CLOSE_ALREADY,
         "trqCloseRS232 1 0\nTARQ already closed 1 0\n"},
    };
    expectRows(closes);
    EXPECT_NE(terminalLog().find("C1 PTAG_TERM_CLOSE"), std::string::npos);
    EXPECT_EQ(api().trqOpen("", 0), TRQ_OPEN_OK);
    EXPECT_EQ(purchase(), TRQ_APPROVED);
    EXPECT_EQ(api().trqClose(0), TRQ_CLOSE_OK);
}

// The terminal never acknowledges the open message: the link is up, the open is incomplete, a
// second open refuses without touching the link, and a close frees it.
TEST_F(E2E, UnacknowledgedOpenGivesOneThenSevenUntilClosed) {
    startTerminal({{"mute", "4"}}); // the open message is sent four times, never answered
    registerCallbacks();
    EXPECT_EQ(api().trqOpen("", 0), TRQ_OPEN_NOT_DELIVERED);
    int again = 0;
    const std::string out = test::captureStdout([&] { again = api().trqOpen("", 0); });
    EXPECT_EQ(again, TRQ_OPEN_INCOMPLETE);
    EXPECT_EQ(out, "TARQ not opened successfully 0 1\n");
    EXPECT_EQ(purchase(), TRQ_NOT_OPEN);
    EXPECT_EQ(api().trqCloseRS232(), TRQ_CLOSE_OK);
    EXPECT_EQ(api().trqOpen("", 0), TRQ_OPEN_OK);
}

// Opening before any callback is registered builds no open message; the link stays up. A later
// open (after registering) must replace that link instead of failing on the port it holds.
TEST_F(E2E, OpenBeforeCallbacksThenRegisterAndOpenAgain) {
    startTerminal();
    EXPECT_EQ(api().trqOpen("", 0), TRQ_OPEN_NO_MESSAGE);
    EXPECT_EQ(purchase(), TRQ_NOT_OPEN);
    EXPECT_EQ(api().trqTermReport(), TRQ_NOT_OPEN);
    registerCallbacks();
    EXPECT_EQ(api().trqOpen("", 0), TRQ_OPEN_OK);
    EXPECT_EQ(purchase(), TRQ_APPROVED);
    EXPECT_EQ(api().trqCloseRS232(), TRQ_CLOSE_OK);
}

// Registering a callback while the line is open must not lose the open connection.
TEST_F(E2E, RegisteringCallbacksWhileOpenKeepsTheConnection) {
    openWith();
    registerCallbacks();
    api().trqInitCallback(7, nullptr); // no slot, still a reset
    EXPECT_EQ(purchase(), TRQ_APPROVED);
    EXPECT_EQ(rec.receipts.size(), 2u);
    EXPECT_EQ(api().trqTermReport(), TRQ_APPROVED);
}

// A close whose message the terminal does not acknowledge still closes.
TEST_F(E2E, CloseNotAcknowledgedGivesTwo) {
    openWith();
    stopTerminal(); // the terminal's end of the line is gone
    EXPECT_EQ(api().trqClose(0), TRQ_CLOSE_NOT_DELIVERED);
    EXPECT_EQ(api().trqCloseRS232(), TRQ_CLOSE_ALREADY);
}

} // namespace
} // namespace tarq::e2e
