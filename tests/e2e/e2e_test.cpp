// End to end: every exported operation in every connection state, and payments, over a real line.
#include "tests/e2e/e2e_fixture.h"

namespace tarq::e2e {
namespace {

#define OP(...) [&](DriverApi& a) { return __VA_ARGS__; }
const std::string kNotOpen = "DLL/comport not opened successfully\n",
                  kClosed = "Please open dll / comport!\n";

Row payRow(int type, int amount, int purchase, int expected, std::string printed) {
    return {[=](DriverApi& a) { return pay(a, type, amount, purchase); }, expected, printed};
}
Row adminRow(int code, int expected, std::string after, int sent = -1) {
    return {[code](DriverApi& a) { return a.trqNorAdmin(code, 5, 6); }, expected,
            "trqNorAdmin " + to_string(code) + " 5 6\n" + after, sent};
}

// Fixed-code operations: code sent, entry line ("%s": closedFlag, openStatus), result line.
struct Fixed {
    int (*DriverApi::*run)();
    int code;
    const char *entry, *result;
};
const Fixed kFixed[] = {
    {&DriverApi::trqTermReport, 1, "trqTermReport\n", ""},
    {&DriverApi::trqEndOfDay, 2, "trqEndOfDay\n", "trqEndOfDay 0\n"},
    {&DriverApi::trqClockSyncHost, 4, "", ""},
    {&DriverApi::trqClockSyncKelmo, 5, "trqClockSyncKelmo\n", ""},
    {&DriverApi::trqRestartTerm, 8, "trqRestartTerm %s\n", ""},
    {&DriverApi::trqTestConnection, 14, "trqTestConnection %s\n", ""},
    {&DriverApi::trqLastReceipt, 15, "trqLastReceipt\n", ""},
    {&DriverApi::trqTotalReport, 23, "trqTotalReport\n", "trqTotalReport 0\n"},
    {&DriverApi::trqLastEndOfDayReport, 25, "trqLastEndOfDayReport\n", ""},
    {&DriverApi::trqParameterReport, 26, "trqParameterReport\n", "trqParamReport 0\n"},
};
// Each fixed-code operation: refused (refusal line and code), or answered 0 by the terminal.
std::vector<Row> fixedRows(const char* state, const std::string& refusal, int code) {
    std::vector<Row> rows;
    for (const Fixed& f : kFixed) {
        char entry[64];
        std::snprintf(entry, sizeof entry, f.entry, state);
        const bool done = refusal.empty();
        rows.push_back({[&f](DriverApi& a) { return (a.*f.run)(); }, code,
                        entry + (done ? std::string(f.result) : refusal), done ? f.code : -1});
    }
    return rows;
}

std::vector<Row> operator+(std::vector<Row> rows, const std::vector<Row>& more) {
    rows.insert(rows.end(), more.begin(), more.end());
    return rows;
}

const int kAcceptedCodes[] = {1,  2,  4,  5,  6,  8,  14, 15, 23, 25, 26,
                              27, 29, 30, 31, 35, 36, 37, 38, 40, 41};

// Refused, or answered by the driver itself, whatever the connection.
std::vector<Row> alwaysRefused() {
    std::vector<Row> rows = {
        {OP(a.trqLog()), TRQ_NOT_AVAILABLE, "trqLog\n"},
        {OP(a.trqEmployeeReport()), TRQ_NOT_AVAILABLE, "trqEmployeeReport\n"},
        {OP(a.trqCardTransaction(0, 1000, 578, '1', 0)), TRQ_NOT_AVAILABLE,
         "trqCardTransaction - DK\n"},
        {OP(a.trqNorCardTransaction(0, 100000000, 578, '1', 0, 0, "", "")), TRQ_AMOUNT_TOO_HIGH,
         "  MAX_AMOUNT 99999999\n"},
        payRow(7, 1000, 0, TRQ_ILLEGAL_TYPE, "illegal transactionType 7\n"),
        payRow(11, 1000, 0, TRQ_ILLEGAL_TYPE, "illegal transactionType 11\n"),
        payRow(0, 49, 0, TRQ_AMOUNT_TOO_LOW, "  MIN_AMOUNT 50\n"),
        payRow(0, 100, 150, TRQ_AMOUNT_BELOW_PURCHASE, "amount < purchaseamount  100 150\n"),
        adminRow(35, TRQ_VERSION_PRINTED,
                 "no_kelmo_javaTarq ver 1.67, 26.09.2005\nZaduZiruv ver 1.82 RS, 16.08.2006\n\n"
                 "Tarqdriver_win32.dll version 1.89_RS C 13.08.2007\nOldest terminal software "
                 "supported: 01.20\nRecommended terminal software, counter terminal: 01.38\n"
                 "Recommended terminal software, handheld terminal: 01.41\nDoc: Tarqdriver "
                 "Interface Specification_N_1_89\n\n"),
    };
    for (int c : {0, 3, 7, 24, 42})
        rows.push_back(
            adminRow(c, TRQ_NOT_AVAILABLE, "Not available : trqNorAdmin " + to_string(c) + "\n"));
    return rows;
}

// Never opened: argument checks first, the connection last; an undeliverable close; refusals.
TEST_F(E2E, NeverOpenedThenClosed) {
    registerCallbacks();
    std::vector<Row> rows;
    for (int type : {-1, 0, 1, 2, 3, 4, 6})
        rows.push_back(payRow(type, 50, 0, TRQ_NOT_OPEN, kNotOpen));
    for (int c : kAcceptedCodes)
        if (c != 35) rows.push_back(adminRow(c, TRQ_NOT_OPEN, kNotOpen));
    expectRows(
        fixedRows("0 0", kNotOpen, TRQ_NOT_OPEN) + alwaysRefused() + rows +
        std::vector<Row>{payRow(0, 99999999, 0, TRQ_NOT_OPEN, kNotOpen),
                         payRow(0, 150, 100, TRQ_NOT_OPEN, kNotOpen),
                         payRow(5, 0, 0, TRQ_NOT_OPEN, kNotOpen),
                         {OP(a.trqCloseRS232()), TRQ_CLOSE_NOT_DELIVERED, "trqCloseRS232 0 0\n"},
                         {OP(a.trqCloseRS232()), TRQ_CLOSE_ALREADY,
                          "trqCloseRS232 1 0\nTARQ already closed 1 0\n"},
                         payRow(0, 1000, 0, TRQ_CLOSED, kClosed),
                         adminRow(1, TRQ_CLOSED, kClosed)} +
        alwaysRefused() + fixedRows("1 0", kClosed, TRQ_CLOSED));
}

// The open and close results of the failed and half-open states, up to a working line.
TEST_F(E2E, OpenFailuresAndHalfOpen) {
    const std::string read = "ReadParameters: read " + (dir_ / "tarqRS.ini").string() + "\n";
    expectRows({
        {OP(a.trqOpen("", 0)), TRQ_OPEN_NO_CONFIG,
         "ReadParameters - error\nReadParameters - error\nReadParameters: cannot read " +
             (dir_ / "tarqRS.ini").string() + ": No such file or directory\n"},
        {OP(a.trqCloseRS232()), TRQ_CLOSE_NOT_OPEN,
         "trqCloseRS232 0 -7\nTARQ is not open! ComPort may be busy. 0 -7\n"},
        {OP(writeIni("x"), a.trqOpen("", 0)), TRQ_OPEN_NO_LINK, // one character is a path
         read + "PRS232_Create:INVALID_HANDLE_VALUE:-1\nPRS232_Create: x: No such file or "
                "directory\nFailed to connect -6\n"},
        {OP(a.trqCloseRS232()), TRQ_CLOSE_NOT_OPEN,
         "trqCloseRS232 0 -6\nTARQ is not open! ComPort may be busy. 0 -6\n"},
        {OP(writeIni("tcp://localhost"), a.trqOpen("", 0)), TRQ_OPEN_NO_CONFIG,
         read + "DEVICE in " + (dir_ / "tarqRS.ini").string() + ": value is not tcp://HOST:PORT\n"},
        {OP(writeIni("tcp://127.0.0.1:1"), a.trqOpen("", 0)), TRQ_OPEN_NO_LINK,
         read + "PRS232_Create: no connection to 127.0.0.1 port 1: Connection refused\n"
                "Failed to connect -6\n"},
        {OP(startTerminal(), a.trqOpen("", 0)), TRQ_OPEN_NO_MESSAGE, read},
        {OP(a.trqOpen("", 0)), TRQ_OPEN_NO_MESSAGE, read}, // the first link let the line go
        payRow(0, 1000, 0, TRQ_NOT_OPEN, kNotOpen),
        // Each send of the open message refused by the terminal.
        {OP(registerCallbacks(), startTerminal({{"nak", "1,2,3,4"}}), a.trqOpen("", 0)),
         TRQ_OPEN_NOT_DELIVERED, read},
        {OP(a.trqOpen("", 0)), TRQ_OPEN_INCOMPLETE, "TARQ not opened successfully 0 1\n"},
        payRow(0, 1000, 0, TRQ_NOT_OPEN, kNotOpen),
        {OP(a.trqCloseRS232()), TRQ_CLOSE_OK, "trqCloseRS232 0 7\n"},
        {OP(a.trqOpen("", 0)), TRQ_OPEN_OK, read},
        {OP(stopTerminal(), a.trqClose(0)), TRQ_CLOSE_NOT_DELIVERED, ""}, // the line is gone
    });
}

// Every operation on an open line: code received, result, printed lines; 4 first: code 40's issuer.
TEST_F(E2E, OpenLineOperations) {
    registerCallbacks();
    startTerminal(
        {{"admin-receipts", "0"}, {"admin-result", "0,1,0,1,0"}, {"admin-issuer", "3,-1,-1,3,-1"}});
    const std::string read = "ReadParameters: read " + (dir_ / "tarqRS.ini").string() + "\n";
    std::vector<Row> rows = {{OP(a.trqOpenRS232()), TRQ_OPEN_OK, "trqOpenRS232\n" + read},
                             {OP(a.trqOpen("", 0)), TRQ_OPEN_ALREADY, "TARQ already open 0 100\n"},
                             adminRow(40, 23, "\ntrqNorAdmin 0\n", 40),
                             adminRow(40, 20, "\ntrqNorAdmin 1\n", 40),
                             adminRow(40, 20, "\ntrqNorAdmin 0\n", 40),
                             adminRow(40, 1, "\ntrqNorAdmin 1\n", 40)};
    for (int c : kAcceptedCodes)
        if (c != 35 && c != 40)
            rows.push_back(adminRow(c, 0, c == 8 ? "" : "\ntrqNorAdmin 0\n", c));
    rows = rows + fixedRows("0 99", "", 0) + alwaysRefused();
    rows.push_back({OP(a.trqCloseRS232()), TRQ_CLOSE_OK, "trqCloseRS232 0 99\n"});
    expectRows(rows);
    // The close let go of the line: another program can take it.
    PRS232_PORT* other = PRS232_Create(0, 9600, pty_->slaveName().c_str());
    EXPECT_NE(other, nullptr);
    PRS232_Delete(&other);
}

TEST_F(E2E, ApprovedPurchase) {
    session({{"signature", "1"}});
    registerCallbacks(); // registering again while open keeps the connection
    api_.trqInitCallback(7, nullptr);
    int r = -1;
    const std::string out = test::captureStdout([&] { r = pay(api_, 0, 1250, 1250, 1); });
    EXPECT_TRUE(out.ends_with("\nPTAG_TRANS_COMPLETED = 0, issuerID=3\n")) << out;
    EXPECT_EQ(r, TRQ_APPROVED);
    EXPECT_EQ(rec.cards, std::vector<std::string>{"4571999900001234=2812101"});
    EXPECT_EQ(rec.segments, (std::vector<int>{1, 0}));
    ASSERT_EQ(rec.receipts.size(), 2u);
    EXPECT_NE(rec.receipts[0].find("KJ\xD8P      NOK 12,50\n"), std::string::npos);
    EXPECT_NE(rec.receipts[1].find("KUNDENS KOPI"), std::string::npos);
    EXPECT_EQ(rec.extCardCalls + rec.verSigCalls, 2);
    EXPECT_TRUE(rec.displayed("BEL\xD8P NOK 12,50"));
    EXPECT_EQ(rec.lastDisplay().first, std::string(20, ' ')); // line 1 blanked for result 0
    EXPECT_TRUE(logged("D5 PTAG_NORTRANS type=0 amount=1250 purchase=1250"));
}

TEST_F(E2E, CashRegisterAborts) {
    session({{"card-delay", "60000"}}); // no card comes: only the abort ends the payment
    rec.abortOnceWhen([] { return rec.displayed("SETT INN KORT"); });
    EXPECT_EQ(pay(api_, 0, 1250), 17);
    EXPECT_EQ(rec.abortCalls, rec.abortedAtCall); // not asked again after the yes
    EXPECT_TRUE(rec.displayed("FORS\xD8KER \xC5 AVBRYTE"));
    EXPECT_TRUE(logged("C9 PTAG_TERM_ABORT"));
}

// The line goes and comes back (server restart, adapter back): refused at once, then reopened.
class LineBack : public E2E, public ::testing::WithParamInterface<bool> {};
TEST_P(LineBack, NextPaymentOpensAgain) {
    if (GetParam())
        tcp_ = "127.0.0.1:0";
    else
        line_ = dir_ / "line";
    session({});
    const std::string lost = "TARQ line lost, opening again\n";
    int r = -1;
    for (bool back : {true, false, true, false}) {
        back ? startTerminal({}, "[TRACE]\n\"trace.txt\"\n") : stopTerminal(); // on at reopen
        const std::string out = test::captureStdout([&] { r = pay(api_, 0, 1250); });
        EXPECT_EQ(r, back ? TRQ_APPROVED : TRQ_NOT_OPEN) << out;
        EXPECT_TRUE(out.starts_with(lost) && (back || out.ends_with("-6\n" + kNotOpen))) << out;
    }
    api_.trqClose(0); // a closed driver does not open again by itself
    EXPECT_EQ(test::captureStdout([&] { r = pay(api_, 0, 1250); }), kClosed);
    EXPECT_EQ(r, TRQ_CLOSED);
    startTerminal();
    EXPECT_EQ(api_.trqOpen("", 0), TRQ_OPEN_OK); // the till opened it again itself: no reopen
    EXPECT_EQ(test::captureStdout([&] { r = pay(api_, 0, 1250); }).find(lost), std::string::npos);
    EXPECT_EQ(r, TRQ_APPROVED);
    EXPECT_EQ(api_.trqCloseRS232(), TRQ_CLOSE_OK);
    const std::string trace = slurp(dir_ / "trace.txt");
    EXPECT_EQ(trace.find("call reopen((not read), 0)\n"), trace.find("call reopen(")) << trace;
    EXPECT_NE(trace.find("= reopen -6\n"), std::string::npos) << trace; // its own result
}
INSTANTIATE_TEST_SUITE_P(E2E, LineBack, ::testing::Bool());

// The line drops while the terminal owes an answer: the usual time-out; once it is back, a payment.
TEST_F(E2E, TcpDroppedInPayment) {
    tcp_ = "127.0.0.1:0";
    session({{"silence", ""}});
    std::thread drop([this] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        stopTerminal();
    });
    EXPECT_EQ(pay(api_, 0, 1250), TRQ_NO_CONNECTION);
    drop.join();
    startTerminal();
    EXPECT_EQ(pay(api_, 0, 1250), TRQ_APPROVED);
}

// Other endings; link faults both ways change no outcome nor count. Frames: till 1 open, 2 MI,
// 3 currency, 4 record, 5/6 receipt no.; terminal 1 status, 2 card, 3-5 status, 6/7 receipts, 8 end
struct Payment {
    const char *key, *value;
    int result = 0;
    std::size_t cards = 1, receipts = 2;
    const char* shown = "GODKJENT"; // a display line 1
    friend void PrintTo(const Payment& p, std::ostream* os) { *os << p.key << '=' << p.value; }
};
class Payments : public E2E, public ::testing::WithParamInterface<Payment> {};

TEST_P(Payments, EndAsTheTerminalSays) {
    const Payment& p = GetParam();
    session({{p.key, p.value}});
    EXPECT_EQ(pay(api_, 0, 1250, 1250), p.result);
    EXPECT_EQ(std::make_pair(rec.cards.size(), rec.receipts.size()),
              std::make_pair(p.cards, p.receipts));
    EXPECT_TRUE(rec.displayed(p.shown));
    EXPECT_EQ(logged("fault:"), p.result == 0); // the link fault did happen
}

INSTANTIATE_TEST_SUITE_P(
    E2E, Payments,
    ::testing::Values(Payment{"result", "10", 10, 1, 2, "AVVIST"},
                      Payment{"terminal-abort", "1", 17, 1, 0, "AVBR FRA TERMINAL"},
                      Payment{"nak", "2"}, Payment{"nak", "4"}, Payment{"wack", "3"},
                      Payment{"wack", "5"}, Payment{"bad-crc", "2"}, Payment{"repeat", "6"},
                      Payment{"noise", "2"}, Payment{"pause", "6"}));

} // namespace
} // namespace tarq::e2e
