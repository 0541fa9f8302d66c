// The field trace end to end: written by the real library in a purchase, replayed as the terminal.
#include "tests/e2e/e2e_fixture.h"
#include "tests/support/memscan.h"
#include "tools/sim/replay.h"

#include <signal.h>
#include <sys/wait.h>

namespace tarq::e2e {
namespace {

using Trace = E2E;

// Every frame decoded, call, result, the link's answers, no card data (none read past its fields).
TEST_F(Trace, PurchaseTracedWithoutCardDataAcrossARotation) {
    session({{"receipt", "KORT 4571-9999-0000-1234 12/28\\n****1234 1228\\nUTL. 12/28 \\x80"}},
            "[TRACE]\n\"trace.txt\"\n[TRACEMAX]\n\"3\"\n");
    EXPECT_EQ(api_.trqNorTransaction(0, 1250, 578, '1', 0, 1250, "12344571999900001234",
                                     "4571 999900001234", 0, 0, "541333-0089010", "25129", "7391"),
              TRQ_APPROVED);
    ASSERT_TRUE(fs::exists(dir_ / "trace.txt.1"));
    EXPECT_LE(fs::file_size(dir_ / "trace.txt.1"), 3072u + 4096u);
    const std::string next = slurp(dir_ / "trace.txt"); // its own anchor, to the millisecond
    EXPECT_TRUE(next.find(" trace continued 20") == 8 && next.find(", limit 3 KB") == 48) << next;
    const std::string t = slurp(dir_ / "trace.txt.1") + slurp(dir_ / "trace.txt");
    for (const char* part :
         {"call trqNorTransaction(0, 1250, 578, '1', 0, 1250, \"1234\", \"4571 99******1234\", "
          "0, 0, \"541333-***9010\", \"****\", \"***\")",
          "= trqNorTransaction 0", "call trqOpen((not read), 2000)", "= trqOpen 100",
          "> frame FF: 02 FF E1", "C4 PTAG_MI [31]", "C3 PTAG_CURRENCYCODE [02 42]",
          "D5 PTAG_NORTRANS type=0 amount=1250", "pos=\"1234\" host=\"4571 99******1234\"",
          "C5 PTAG_TERM_CARD [45 71 99 ** ** ** 12 34 D*",
          "KORT 4571-99**-****-1234 **/**\\n****1234 ****\\nUTL. **/** €", "PTAG_TRANS_COMPLETED",
          "< ACK", "> ACK", "state MI --CURRENCYCODE--> MI_CU", "display \"GODKJENT",
          "display \"BELØP", "\" \"TAST PIN-KODE       \"\n"})
        EXPECT_NE(t.find(part), std::string::npos) << part;
    for (const char* secret : {"4571999900001234", "99 99 00 00", "2812", "28 12", "D2 81",
                               "541333-0089010", "2D 30 30 38", "2512", "739", "37 33 39", "9999",
                               "39 39 39 39", "39 39 2D 30", "12/28", "31 32 2F", "1228"})
        EXPECT_EQ(t.find(secret), std::string::npos) << secret;
}

// An unopenable trace (a drive-letter path) and a limit out of range are said; the payment goes on.
TEST_F(Trace, UnwritableTraceStillPays) {
    registerCallbacks();
    const std::string max = "\"99999999999999999999\"";
    startTerminal({}, "[TRACE]\n\"Z:/nonexistent/trace.txt\"\n[TRACEMAX]\n" + max + "\n");
    EXPECT_EQ(test::captureStdout([&] { EXPECT_EQ(api_.trqOpen("", 0), TRQ_OPEN_OK); }),
              "ReadParameters: read " + (dir_ / "tarqRS.ini").string() + "\nTRACEMAX " + max +
                  " out of range (1 to 1048576 KB): 10240 used\n" +
                  "Trace file Z:/nonexistent/trace.txt could not be opened: trace off\n");
    EXPECT_EQ(pay(api_, 0, 1250), TRQ_APPROVED);
}

// A manually entered card leaves no copy in writable memory once paid (the literal is read-only).
TEST_F(Trace, ManualEntryLeavesNoCopyOfTheCardInMemory) {
    pty_ = std::make_unique<test::PtyPair>();
    const pid_t terminal = fork(); // the terminal apart: its own copies of the card are not ours
    if (terminal == 0) { // no receipts: nothing is sent after the card record to overwrite it
        sim::Config c = sim::defaultConfig();
        c.receipts = 0;
        sim::Terminal(PRS232_Adopt(dup(pty_->master())), c, std::tmpfile()).run(stop_);
        _exit(0);
    }
    writeIni(pty_->slaveName(), "[TRACE]\n\"trace.txt\"\n");
    registerCallbacks();
    ASSERT_EQ(api_.trqOpen("", 0), TRQ_OPEN_OK);
    static const char kPan[] = "5413330089010434";
    EXPECT_EQ(api_.trqNorTransaction(-1, 125, 578, '1', 0, 125, "", "", 0, 0, kPan, "2512", "739"),
              TRQ_APPROVED);
    EXPECT_EQ(test::copiesInMemory(kPan), 0);
    EXPECT_EQ(api_.trqCloseRS232(), TRQ_CLOSE_OK);
    kill(terminal, SIGKILL), waitpid(terminal, nullptr, 0);
}

// A recorded purchase replayed as the terminal: the same one matches; another amount stops, shown.
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
