// The driver's own refusals and their printed lines, through the exported operations.
#include "e2e_fixture.h"

namespace tarq::e2e {
namespace {

struct PaymentCase {
    const char* name;
    int type, amount, purchase;
    int expected;
    const char* printed;
    friend void PrintTo(const PaymentCase& c, std::ostream* os) { *os << c.name; }
};

// On a driver that was never opened: the argument checks come first, the connection last.
const PaymentCase kPaymentChecks[] = {
    {"type7", 7, 1000, 0, TRQ_ILLEGAL_TYPE, "illegal transactionType 7\n"},
    {"type11", 11, 1000, 0, TRQ_ILLEGAL_TYPE, "illegal transactionType 11\n"},
    {"above_max", 0, 100000000, 0, TRQ_AMOUNT_TOO_HIGH, "  MAX_AMOUNT 99999999\n"},
    {"below_min", 0, 49, 0, TRQ_AMOUNT_TOO_LOW, "  MIN_AMOUNT 50\n"},
    {"below_purchase", 0, 100, 150, TRQ_AMOUNT_BELOW_PURCHASE,
     "amount < purchaseamount  100 150\n"},
    {"min_ok", 0, 50, 0, TRQ_NOT_OPEN, "DLL/comport not opened successfully\n"},
    {"max_ok", 0, 99999999, 0, TRQ_NOT_OPEN, "DLL/comport not opened successfully\n"},
    {"above_purchase_ok", 0, 150, 100, TRQ_NOT_OPEN, "DLL/comport not opened successfully\n"},
    {"type5_amount0", 5, 0, 0, TRQ_NOT_OPEN, "DLL/comport not opened successfully\n"},
    {"negative_type", -1, 1000, 0, TRQ_NOT_OPEN, "DLL/comport not opened successfully\n"},
};

class PaymentChecks : public E2E, public ::testing::WithParamInterface<PaymentCase> {};

TEST_P(PaymentChecks, ResultAndLine) {
    const PaymentCase& c = GetParam();
    registerCallbacks();
    int r = -1;
    const std::string out = captured([&] {
        r = api().trqNorTransaction(c.type, c.amount, 578, '1', 0, c.purchase, "", "", 0, 0, "", "",
                                    "");
    });
    EXPECT_EQ(r, c.expected);
    EXPECT_EQ(out, c.printed);
}

INSTANTIATE_TEST_SUITE_P(NeverOpened, PaymentChecks, ::testing::ValuesIn(kPaymentChecks),
                         [](const auto& p) { return std::string(p.param.name); });

struct CommandCase {
    const char* name;
    int (*run)(ecr::DriverApi&);
    int expected;
    const char* printed;
    friend void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }
};

const CommandCase kNeverOpened[] = {
    {"TermReport", [](ecr::DriverApi& a) { return a.trqTermReport(); }, TRQ_NOT_OPEN,
     "trqTermReport\nDLL/comport not opened successfully\n"},
    {"EndOfDay", [](ecr::DriverApi& a) { return a.trqEndOfDay(); }, TRQ_NOT_OPEN,
     "trqEndOfDay\nDLL/comport not opened successfully\n"},
    {"ClockSyncHost", [](ecr::DriverApi& a) { return a.trqClockSyncHost(); }, TRQ_NOT_OPEN,
     "DLL/comport not opened successfully\n"},
    {"ClockSyncKelmo", [](ecr::DriverApi& a) { return a.trqClockSyncKelmo(); }, TRQ_NOT_OPEN,
     "trqClockSyncKelmo\nDLL/comport not opened successfully\n"},
    {"RestartTerm", [](ecr::DriverApi& a) { return a.trqRestartTerm(); }, TRQ_NOT_OPEN,
     "trqRestartTerm 0 0\nDLL/comport not opened successfully\n"},
    {"TestConnection", [](ecr::DriverApi& a) { return a.trqTestConnection(); }, TRQ_NOT_OPEN,
     "trqTestConnection 0 0\nDLL/comport not opened successfully\n"},
    {"LastReceipt", [](ecr::DriverApi& a) { return a.trqLastReceipt(); }, TRQ_NOT_OPEN,
     "trqLastReceipt\nDLL/comport not opened successfully\n"},
    {"TotalReport", [](ecr::DriverApi& a) { return a.trqTotalReport(); }, TRQ_NOT_OPEN,
     "trqTotalReport\nDLL/comport not opened successfully\n"},
    {"LastEndOfDayReport", [](ecr::DriverApi& a) { return a.trqLastEndOfDayReport(); },
     TRQ_NOT_OPEN, "trqLastEndOfDayReport\nDLL/comport not opened successfully\n"},
    {"ParameterReport", [](ecr::DriverApi& a) { return a.trqParameterReport(); }, TRQ_NOT_OPEN,
     "trqParameterReport\nDLL/comport not opened successfully\n"},
    {"NorAdmin1", [](ecr::DriverApi& a) { return a.trqNorAdmin(1, 2, 3); }, TRQ_NOT_OPEN,
     "trqNorAdmin 1 2 3\nDLL/comport not opened successfully\n"},
    {"NorAdmin3", [](ecr::DriverApi& a) { return a.trqNorAdmin(3, 0, 0); }, TRQ_NOT_AVAILABLE,
     "trqNorAdmin 3 0 0\nNot available : trqNorAdmin 3\n"},
    {"NorAdmin7", [](ecr::DriverApi& a) { return a.trqNorAdmin(7, 0, 0); }, TRQ_NOT_AVAILABLE,
     "trqNorAdmin 7 0 0\nNot available : trqNorAdmin 7\n"},
    {"NorAdmin24", [](ecr::DriverApi& a) { return a.trqNorAdmin(24, 0, 0); }, TRQ_NOT_AVAILABLE,
     "trqNorAdmin 24 0 0\nNot available : trqNorAdmin 24\n"},
    {"NorAdmin42", [](ecr::DriverApi& a) { return a.trqNorAdmin(42, 0, 0); }, TRQ_NOT_AVAILABLE,
     "trqNorAdmin 42 0 0\nNot available : trqNorAdmin 42\n"},
    {"Log", [](ecr::DriverApi& a) { return a.trqLog(); }, TRQ_NOT_AVAILABLE, "trqLog\n"},
    {"EmployeeReport", [](ecr::DriverApi& a) { return a.trqEmployeeReport(); }, TRQ_NOT_AVAILABLE,
     "trqEmployeeReport\n"},
    {"CardTransaction",
     [](ecr::DriverApi& a) { return a.trqCardTransaction(0, 1000, 578, '1', 0); },
     TRQ_NOT_AVAILABLE, "trqCardTransaction - DK\n"},
    {"Version", [](ecr::DriverApi& a) { return a.trqNorAdmin(35, 0, 0); }, TRQ_VERSION_PRINTED,
     "trqNorAdmin 35 0 0\n"
     "no_kelmo_javaTarq ver 1.67, 26.09.2005\n"
     "ZaduZiruv ver 1.82 RS, 16.08.2006\n"
     "\nTarqdriver_win32.dll version 1.89_RS C 13.08.2007\n"
     "Oldest terminal software supported: 01.20\n"
     "Recommended terminal software, counter terminal: 01.38\n"
     "Recommended terminal software, handheld terminal: 01.41\n"
     "Doc: Tarqdriver Interface Specification_N_1_89\n\n"},
};

class NeverOpenedCommands : public E2E, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(NeverOpenedCommands, ResultAndLines) {
    const CommandCase& c = GetParam();
    registerCallbacks();
    int r = -1;
    const std::string out = captured([&] { r = c.run(api()); });
    EXPECT_EQ(r, c.expected);
    EXPECT_EQ(out, c.printed);
}

INSTANTIATE_TEST_SUITE_P(Refusals, NeverOpenedCommands, ::testing::ValuesIn(kNeverOpened),
                         [](const auto& p) { return std::string(p.param.name); });

// After a close every operation that needs the terminal refuses with 8, checks first.
const CommandCase kAfterClose[] = {
    {"EndOfDay", [](ecr::DriverApi& a) { return a.trqEndOfDay(); }, TRQ_CLOSED,
     "trqEndOfDay\nPlease open dll / comport!\n"},
    {"TestConnection", [](ecr::DriverApi& a) { return a.trqTestConnection(); }, TRQ_CLOSED,
     "trqTestConnection 1 0\nPlease open dll / comport!\n"},
    {"NorAdmin1", [](ecr::DriverApi& a) { return a.trqNorAdmin(1, 0, 0); }, TRQ_CLOSED,
     "trqNorAdmin 1 0 0\nPlease open dll / comport!\n"},
    {"NorAdmin3", [](ecr::DriverApi& a) { return a.trqNorAdmin(3, 0, 0); }, TRQ_NOT_AVAILABLE,
     "trqNorAdmin 3 0 0\nNot available : trqNorAdmin 3\n"},
    {"Purchase",
     [](ecr::DriverApi& a) {
         return a.trqNorTransaction(0, 1000, 578, '1', 0, 0, "", "", 0, 0, "", "", "");
     },
     TRQ_CLOSED, "Please open dll / comport!\n"},
    {"PurchaseAboveMax",
     [](ecr::DriverApi& a) {
         return a.trqNorCardTransaction(0, 100000000, 578, '1', 0, 0, "", "");
     },
     TRQ_AMOUNT_TOO_HIGH, "  MAX_AMOUNT 99999999\n"},
};

class AfterClose : public E2E, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(AfterClose, ResultAndLines) {
    const CommandCase& c = GetParam();
    openWith();
    ASSERT_EQ(api().trqCloseRS232(), TRQ_CLOSE_OK);
    int r = -1;
    const std::string out = captured([&] { r = c.run(api()); });
    EXPECT_EQ(r, c.expected);
    EXPECT_EQ(out, c.printed);
}

INSTANTIATE_TEST_SUITE_P(Refusals, AfterClose, ::testing::ValuesIn(kAfterClose),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(E2E, CloseOfNeverOpenedDriverReportsUndeliveredCloseThenAlreadyClosed) {
    registerCallbacks();
    int first = -1, second = -1;
    const std::string out = captured([&] {
        first = api().trqCloseRS232();
        second = api().trqCloseRS232();
    });
    EXPECT_EQ(first, TRQ_CLOSE_NOT_DELIVERED);
    EXPECT_EQ(second, TRQ_CLOSE_ALREADY);
    EXPECT_EQ(out, "trqCloseRS232 0 0\ntrqCloseRS232 1 0\nTARQ already closed 1 0\n");
}

TEST_F(E2E, OpenWithoutConfigurationFailsAndCloseRefuses) {
    registerCallbacks(); // no tarqRS.ini beside the library copy
    int open = 0, close = 0;
    const std::string out = captured([&] {
        open = api().trqOpen("", 0);
        close = api().trqCloseRS232();
    });
    EXPECT_EQ(open, TRQ_OPEN_NO_CONFIG);
    EXPECT_EQ(close, TRQ_CLOSE_NOT_OPEN);
    EXPECT_EQ(out, "ReadParameters - error\nReadParameters - error\n"
                   "trqCloseRS232 0 -7\nTARQ is not open! ComPort may be busy. 0 -7\n");
}

TEST_F(E2E, OpenOfMissingDeviceFailsAndMayBeRetried) {
    registerCallbacks();
    writeIni("[DEVICE]\n\"" + (dir_ / "no-such-tty").string() + "\"\n[BAUDRATE]\n\"9600\"\n");
    int open = 0, close = 0;
    const std::string out = captured([&] {
        open = api().trqOpen("", 0);
        close = api().trqCloseRS232();
    });
    EXPECT_EQ(open, TRQ_OPEN_NO_LINK);
    EXPECT_EQ(close, TRQ_CLOSE_NOT_OPEN);
    EXPECT_EQ(out, "PRS232_Create:INVALID_HANDLE_VALUE:-1\nFailed to connect -6\n"
                   "trqCloseRS232 0 -6\nTARQ is not open! ComPort may be busy. 0 -6\n");
    // A failed open may be retried at once, and succeeds once the line is there.
    startTerminal();
    EXPECT_EQ(api().trqOpen("", 0), TRQ_OPEN_OK);
}

} // namespace
} // namespace tarq::e2e
