// Administrative commands and reports end to end.
#include "e2e_fixture.h"

#include <cstdio>

namespace tarq::e2e {
namespace {

struct AdminCase {
    const char* name;
    Op run;
    int code;            // the command code the terminal must receive
    const char* printed; // with the result 0
};

const AdminCase kCommands[] = {
    {"TermReport", TARQ_OP(trqTermReport()), 1, "trqTermReport\n"},
    {"EndOfDay", TARQ_OP(trqEndOfDay()), 2, "trqEndOfDay\ntrqEndOfDay 0\n"},
    {"ClockSyncHost", TARQ_OP(trqClockSyncHost()), 4, ""},
    {"ClockSyncKelmo", TARQ_OP(trqClockSyncKelmo()), 5, "trqClockSyncKelmo\n"},
    {"TestConnection", TARQ_OP(trqTestConnection()), 14, "trqTestConnection 0 100\n"},
    {"LastReceipt", TARQ_OP(trqLastReceipt()), 15, "trqLastReceipt\n"},
    {"TotalReport", TARQ_OP(trqTotalReport()), 23, "trqTotalReport\ntrqTotalReport 0\n"},
    {"LastEndOfDayReport", TARQ_OP(trqLastEndOfDayReport()), 25, "trqLastEndOfDayReport\n"},
    {"ParameterReport", TARQ_OP(trqParameterReport()), 26,
     "trqParameterReport\ntrqParamReport 0\n"},
    {"NorAdmin1", TARQ_OP(trqNorAdmin(1, 5, 6)), 1, "trqNorAdmin 1 5 6\n\ntrqNorAdmin 0\n"},
    {"NorAdmin41", TARQ_OP(trqNorAdmin(41, 0, 0)), 41, "trqNorAdmin 41 0 0\n\ntrqNorAdmin 0\n"},
};

// Every command in turn on one connection, as a till would run them, then a payment.
TEST_F(E2E, EveryCommandReachesTheTerminalWithItsLinesThenAPayment) {
    openWith({{"admin-receipts", "2"}});
    for (const AdminCase& c : kCommands) {
        SCOPED_TRACE(c.name);
        rec.clearSeen();
        int r = -1;
        const std::string out = test::captureStdout([&] { r = c.run(api()); });
        EXPECT_EQ(r, TRQ_APPROVED);
        EXPECT_EQ(out, c.printed);
        char sent[64];
        std::snprintf(sent, sizeof sent, "D2 PTAG_ADMIN [%02X %02X]", c.code >> 8, c.code & 0xFF);
        EXPECT_NE(terminalLog().find(sent), std::string::npos) << sent;
        ASSERT_EQ(rec.receipts.size(), 2u);
        EXPECT_EQ(rec.segments[0], 1);
        EXPECT_EQ(rec.segments[1], 0);
    }
    rec.clearSeen();
    EXPECT_EQ(purchase(), TRQ_APPROVED);
    EXPECT_EQ(rec.receipts.size(), 2u);
}

struct IssuerCase {
    const char* name;
    int result;
    int issuer; // -1: the terminal sends no issuer number
    int expected;
};

// Code 40 turns the issuer number into the result: 20 + issuer when the result is 0, 20 when
// the result is 1 and no issuer came, anything else unchanged.
const IssuerCase kIssuerRule[] = {
    {"Result0Issuer3", 0, 3, 23}, {"Result1NoIssuer", 1, -1, 20}, {"Result0NoIssuer", 0, -1, 20},
    {"Result1Issuer3", 1, 3, 1},  {"Result12Issuer3", 12, 3, 12}, {"Result0Issuer0", 0, 0, 20},
};

TEST_F(E2E, CodeFortyIssuerRuleThenAPayment) {
    std::string results, issuers;
    for (const IssuerCase& c : kIssuerRule) {
        results += (results.empty() ? "" : ",") + std::to_string(c.result);
        issuers += (issuers.empty() ? "" : ",") + std::to_string(c.issuer);
    }
    openWith({{"admin-result", results}, {"admin-issuer", issuers}, {"admin-receipts", "0"}});
    for (const IssuerCase& c : kIssuerRule) {
        SCOPED_TRACE(c.name);
        int r = -1;
        const std::string out = test::captureStdout([&] { r = api().trqNorAdmin(40, 0, 0); });
        EXPECT_EQ(r, c.expected);
        EXPECT_EQ(out, "trqNorAdmin 40 0 0\n\ntrqNorAdmin " + std::to_string(c.result) + "\n");
    }
    EXPECT_EQ(purchase(), TRQ_APPROVED);
}

TEST_F(E2E, CommandResultsOtherThanZeroComeBack) {
    openWith({{"admin-result", "3,4,0"}, {"admin-receipts", "0"}});
    EXPECT_EQ(api().trqEndOfDay(), 3);
    EXPECT_EQ(api().trqTotalReport(), 4);
    EXPECT_EQ(api().trqTermReport(), TRQ_APPROVED);
}

TEST_F(E2E, RestartReturnsWithoutWaitingForTheTerminal) {
    openWith();
    int r = -1;
    std::string out;
    // The terminal never answers a restart; waiting for it would take the 10 s answer time.
    const double seconds =
        secondsFor([&] { out = test::captureStdout([&] { r = api().trqRestartTerm(); }); });
    EXPECT_EQ(r, TRQ_RESTART_SENT);
    EXPECT_EQ(out, "trqRestartTerm 0 100\n");
    EXPECT_LT(seconds, 5.0);
    EXPECT_NE(terminalLog().find("D2 PTAG_ADMIN [00 08]"), std::string::npos);
    EXPECT_EQ(api().trqNorAdmin(8, 0, 0), TRQ_RESTART_SENT);
    EXPECT_EQ(purchase(), TRQ_APPROVED);
}

} // namespace
} // namespace tarq::e2e
