// The driver's own refusals and their printed lines, through the exported operations.
#include "e2e_fixture.h"

namespace tarq::e2e {
namespace {

#define NOT_OPEN "DLL/comport not opened successfully\n"
#define CLOSED "Please open dll / comport!\n"

// On a driver that was never opened: the argument checks come first, the connection last.
TEST_F(E2E, NeverOpenedPaymentChecks) {
    struct Case {
        int type, amount, purchase;
        int expected;
        const char* printed;
    };
    const Case cases[] = {
        {7, 1000, 0, TRQ_ILLEGAL_TYPE, "illegal transactionType 7\n"},
        {0, 100000000, 0, TRQ_AMOUNT_TOO_HIGH, "  MAX_AMOUNT 99999999\n"},
        {0, 49, 0, TRQ_AMOUNT_TOO_LOW, "  MIN_AMOUNT 50\n"},
        {0, 100, 150, TRQ_AMOUNT_BELOW_PURCHASE, "amount < purchaseamount  100 150\n"},
        {0, 50, 0, TRQ_NOT_OPEN, NOT_OPEN},
        {0, 99999999, 0, TRQ_NOT_OPEN, NOT_OPEN},
        {0, 150, 100, TRQ_NOT_OPEN, NOT_OPEN},
        {5, 0, 0, TRQ_NOT_OPEN, NOT_OPEN},
        {-1, 1000, 0, TRQ_NOT_OPEN, NOT_OPEN},
    };
    registerCallbacks();
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.type << " " << c.amount << " " << c.purchase);
        int r = -1;
        const std::string out = test::captureStdout([&] {
            r = api().trqNorTransaction(c.type, c.amount, 578, '1', 0, c.purchase, "", "", 0, 0, "",
                                        "", "");
        });
        EXPECT_EQ(r, c.expected);
        EXPECT_EQ(out, c.printed);
    }
}

TEST_F(E2E, NeverOpenedCommands) {
    const OpCase cases[] = {
        {"TermReport", TARQ_OP(trqTermReport()), TRQ_NOT_OPEN, "trqTermReport\n" NOT_OPEN},
        {"EndOfDay", TARQ_OP(trqEndOfDay()), TRQ_NOT_OPEN, "trqEndOfDay\n" NOT_OPEN},
        {"ClockSyncHost", TARQ_OP(trqClockSyncHost()), TRQ_NOT_OPEN, NOT_OPEN},
        {"ClockSyncKelmo", TARQ_OP(trqClockSyncKelmo()), TRQ_NOT_OPEN,
         "trqClockSyncKelmo\n" NOT_OPEN},
        {"RestartTerm", TARQ_OP(trqRestartTerm()), TRQ_NOT_OPEN, "trqRestartTerm 0 0\n" NOT_OPEN},
        {"TestConnection", TARQ_OP(trqTestConnection()), TRQ_NOT_OPEN,
         "trqTestConnection 0 0\n" NOT_OPEN},
        {"LastReceipt", TARQ_OP(trqLastReceipt()), TRQ_NOT_OPEN, "trqLastReceipt\n" NOT_OPEN},
        {"TotalReport", TARQ_OP(trqTotalReport()), TRQ_NOT_OPEN, "trqTotalReport\n" NOT_OPEN},
        {"LastEndOfDayReport", TARQ_OP(trqLastEndOfDayReport()), TRQ_NOT_OPEN,
         "trqLastEndOfDayReport\n" NOT_OPEN},
        {"ParameterReport", TARQ_OP(trqParameterReport()), TRQ_NOT_OPEN,
         "trqParameterReport\n" NOT_OPEN},
        {"NorAdmin1", TARQ_OP(trqNorAdmin(1, 2, 3)), TRQ_NOT_OPEN, "trqNorAdmin 1 2 3\n" NOT_OPEN},
        {"NorAdmin3", TARQ_OP(trqNorAdmin(3, 0, 0)), TRQ_NOT_AVAILABLE,
         "trqNorAdmin 3 0 0\nNot available : trqNorAdmin 3\n"},
        {"NorAdmin42", TARQ_OP(trqNorAdmin(42, 0, 0)), TRQ_NOT_AVAILABLE,
         "trqNorAdmin 42 0 0\nNot available : trqNorAdmin 42\n"},
        {"Log", TARQ_OP(trqLog()), TRQ_NOT_AVAILABLE, "trqLog\n"},
        {"EmployeeReport", TARQ_OP(trqEmployeeReport()), TRQ_NOT_AVAILABLE, "trqEmployeeReport\n"},
        {"CardTransaction", TARQ_OP(trqCardTransaction(0, 1000, 578, '1', 0)), TRQ_NOT_AVAILABLE,
         "trqCardTransaction - DK\n"},
        {"Version", TARQ_OP(trqNorAdmin(35, 0, 0)), TRQ_VERSION_PRINTED,
         "trqNorAdmin 35 0 0\n"
         "no_kelmo_javaTarq ver 1.67, 26.09.2005\n"
         "ZaduZiruv ver 1.82 RS, 16.08.2006\n"
         "\nTarqdriver_win32.dll version 1.89_RS C 13.08.2007\n"
         "Oldest terminal software supported: 01.20\n"
         "Recommended terminal software, counter terminal: 01.38\n"
         "Recommended terminal software, handheld terminal: 01.41\n"
         "Doc: Tarqdriver Interface Specification_N_1_89\n\n"},
    };
    registerCallbacks();
    expectRows(cases);
}

// After a close every operation that needs the terminal refuses with 8, checks first.
TEST_F(E2E, AfterCloseCommands) {
    const OpCase cases[] = {
        {"EndOfDay", TARQ_OP(trqEndOfDay()), TRQ_CLOSED, "trqEndOfDay\n" CLOSED},
        {"TestConnection", TARQ_OP(trqTestConnection()), TRQ_CLOSED,
         "trqTestConnection 1 0\n" CLOSED},
        {"NorAdmin1", TARQ_OP(trqNorAdmin(1, 0, 0)), TRQ_CLOSED, "trqNorAdmin 1 0 0\n" CLOSED},
        {"NorAdmin3", TARQ_OP(trqNorAdmin(3, 0, 0)), TRQ_NOT_AVAILABLE,
         "trqNorAdmin 3 0 0\nNot available : trqNorAdmin 3\n"},
        {"Purchase", TARQ_OP(trqNorTransaction(0, 1000, 578, '1', 0, 0, "", "", 0, 0, "", "", "")),
         TRQ_CLOSED, CLOSED},
        {"PurchaseAboveMax", TARQ_OP(trqNorCardTransaction(0, 100000000, 578, '1', 0, 0, "", "")),
         TRQ_AMOUNT_TOO_HIGH, "  MAX_AMOUNT 99999999\n"},
    };
    openWith();
    ASSERT_EQ(api().trqCloseRS232(), TRQ_CLOSE_OK);
    expectRows(cases);
}

// The close of a driver that was never opened cannot be delivered: 2, then 99.
TEST_F(E2E, CloseOfNeverOpenedDriverReportsUndeliveredCloseThenAlreadyClosed) {
    registerCallbacks();
    const OpCase cases[] = {
        {"first", TARQ_OP(trqCloseRS232()), TRQ_CLOSE_NOT_DELIVERED, "trqCloseRS232 0 0\n"},
        {"second", TARQ_OP(trqCloseRS232()), TRQ_CLOSE_ALREADY,
         "trqCloseRS232 1 0\nTARQ already closed 1 0\n"},
    };
    expectRows(cases);
}

TEST_F(E2E, OpenWithoutConfigurationFailsAndCloseRefuses) {
    registerCallbacks(); // no tarqRS.ini beside the library copy
    const OpCase cases[] = {
        {"open", TARQ_OP(trqOpen("", 0)), TRQ_OPEN_NO_CONFIG,
         "ReadParameters - error\nReadParameters - error\n"},
        {"close", TARQ_OP(trqCloseRS232()), TRQ_CLOSE_NOT_OPEN,
         "trqCloseRS232 0 -7\nTARQ is not open! ComPort may be busy. 0 -7\n"},
    };
    expectRows(cases);
}

TEST_F(E2E, OpenOfMissingDeviceFailsAndMayBeRetried) {
    registerCallbacks();
    writeIni("[DEVICE]\n\"" + (dir_ / "no-such-tty").string() + "\"\n[BAUDRATE]\n\"9600\"\n");
    const OpCase cases[] = {
        {"open", TARQ_OP(trqOpen("", 0)), TRQ_OPEN_NO_LINK,
         "PRS232_Create:INVALID_HANDLE_VALUE:-1\nFailed to connect -6\n"},
        {"close", TARQ_OP(trqCloseRS232()), TRQ_CLOSE_NOT_OPEN,
         "trqCloseRS232 0 -6\nTARQ is not open! ComPort may be busy. 0 -6\n"},
    };
    expectRows(cases);
    // A failed open may be retried at once, and succeeds once the line is there.
    startTerminal();
    EXPECT_EQ(api().trqOpen("", 0), TRQ_OPEN_OK);
}

} // namespace
} // namespace tarq::e2e
