// The field trace end to end: written by the real library during a purchase, and replayed as
// the terminal.
#include "tests/e2e/e2e_fixture.h"
#include "tools/sim/replay.h"

namespace tarq::e2e {
namespace {

using Trace = E2E;

// Every frame both ways decoded, the call and its result, the link's answers, and none of the
// simulator's card data nor the card data typed into the call in clear, across a rotation.
TEST_F(Trace, PurchaseTracedWithoutCardDataAcrossARotation) {
    session({}, "[TRACE]\n\"trace.txt\"\n[TRACEMAX]\n\"4\"\n");
    EXPECT_EQ(api_.trqNorTransaction(0, 1250, 578, '1', 0, 1250, "", "", 0, 0, "5413330089010434",
                                     "2512", "739"),
              TRQ_APPROVED);
    ASSERT_TRUE(fs::exists(dir_ / "trace.txt.1"));
    EXPECT_LE(fs::file_size(dir_ / "trace.txt.1"), 4096u + 4096u);
    const std::string t = slurp(dir_ / "trace.txt.1") + slurp(dir_ / "trace.txt");
    for (const char* part :
         {"call trqNorTransaction(0, 1250, 578, '1', 0, 1250, \"\", \"\", 0, 0, "
          "\"541333******0434\", \"****\", \"***\")",
          "= trqNorTransaction 0", "= trqOpen 100", "> frame FF: 02 FF E1", "C4 PTAG_MI [31]",
          "C3 PTAG_CURRENCYCODE [02 42]", "D5 PTAG_NORTRANS type=0 amount=1250",
          "C5 PTAG_TERM_CARD [45 71 99 ** ** ** 12 34 D*", "PTAG_TERM_RECEIPT",
          "PTAG_TRANS_COMPLETED", "< ACK", "> ACK", "state MI_CU --event", "display \"GODKJENT"})
        EXPECT_NE(t.find(part), std::string::npos) << part;
    for (const char* secret : {"4571999900001234", "99 99 00 00", "2812", "28 12", "D2 81",
                               "5413330089010434", "33 30 30 38", "2512", "739", "37 33 39"})
        EXPECT_EQ(t.find(secret), std::string::npos) << secret;
}

TEST_F(Trace, UnwritableTraceStillPays) {
    registerCallbacks();
    startTerminal({}, "[TRACE]\n\"/nonexistent/dir/trace.txt\"\n");
    int r = -1;
    const std::string out = test::captureStdout([&] { r = api_.trqOpen("", 0); });
    EXPECT_EQ(r, TRQ_OPEN_OK);
    EXPECT_EQ(out, "Trace file /nonexistent/dir/trace.txt could not be opened: trace off\n");
    EXPECT_EQ(pay(api_, 0, 1250), TRQ_APPROVED);
}

// A recorded purchase replayed as the terminal: the same purchase matches every frame; one for
// another amount stops at the payment record with both frames shown.
TEST_F(Trace, ReplayMatchesTheRecordedPurchaseAndShowsADifferentAmount) {
    pty_ = std::make_unique<test::PtyPair>();
    writeIni(pty_->slaveName());
    registerCallbacks();
    for (const int amount : {1250, 9900}) {
        std::FILE* out = std::fopen((dir_ / "replay.txt").c_str(), "w");
        int rc = -1;
        std::thread replay([&] {
            rc = sim::replayTrace(PRS232_Adopt(dup(pty_->master())),
                                  TARQ_E2E_DATA "/purchase.trace", true, out, stop_);
            // Ends the driver's dialogue that the replay has left.
            if (rc == 1)
                test::writeBytes(pty_->master(),
                                 test::buildFrame(0xFF, test::Bytes{0xE1, 4, 0xDD, 2, 0, 3}));
        });
        EXPECT_EQ(api_.trqOpen("", 0), TRQ_OPEN_OK);
        EXPECT_EQ(pay(api_, 0, amount, amount), TRQ_APPROVED);
        if (amount == 1250) api_.trqClose(0); // the recording ends with the close
        replay.join();
        std::fclose(out);
        const std::string report = slurp(dir_ / "replay.txt");
        EXPECT_EQ(rc, amount == 1250 ? 0 : 1) << report;
        for (const char* part : {"differs at byte 7 of its message", "amount=1250", "amount=9900"})
            EXPECT_TRUE(amount == 1250 || report.find(part) != std::string::npos) << report;
    }
}

} // namespace
} // namespace tarq::e2e
