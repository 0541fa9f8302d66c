// The POSIX serial port over a real pseudo-terminal: opening, settings, and the read and
// write time-out model.
#include "link/prs232_posix.h"
#include "tests/link/link_fixture.h"
#include "tests/support/capture_stdout.h"

#include <fcntl.h>
#include <termios.h>

#include <string>

namespace tarq {
namespace {

using namespace test;

const std::string kOpenFailed = "PRS232_Create:INVALID_HANDLE_VALUE:-1\n";

struct PortHolder {
    PRS232_PORT* port = nullptr;
    ~PortHolder() { PRS232_Delete(&port); }
};

// The line a failed open prints, and what it returns.
std::string tryOpen(std::uint8_t number, std::uint32_t baud, const char* device, PortHolder& out) {
    return test::captureStdout([&] { out.port = PRS232_Create(number, baud, device); });
}

TEST(PortNames, NumberNamesTheSerialDevice) {
    const std::pair<int, const char*> rows[] = {
        {0, ""}, {1, "/dev/ttyS0"}, {12, "/dev/ttyS11"}, {255, "/dev/ttyS254"}};
    for (auto [n, name] : rows)
        EXPECT_EQ(PRS232_DeviceName(static_cast<std::uint8_t>(n)), name);
}

TEST(PortOpen, UnopenableDevicePrintsTheLineAndFails) {
    const struct {
        std::uint8_t number;
        const char* device;
    } rows[] = {{0, nullptr}, {0, ""}, {1, "/nonexistent/tty"}, {250, nullptr}};
    for (const auto& row : rows) {
        PortHolder p;
        EXPECT_EQ(tryOpen(row.number, 115200, row.device, p), kOpenFailed);
        EXPECT_EQ(p.port, nullptr);
    }
}

// Number 250 has no device here: the explicit path wins.
TEST(PortOpen, StandardRatesOpenOthersFailSilently) {
    PtyPair pty;
    for (std::uint32_t baud : {1200U, 2400U, 4800U, 9600U, 19200U, 38400U, 57600U, 115200U}) {
        PortHolder p{PRS232_Create(250, baud, pty.slaveName().c_str())};
        ASSERT_NE(p.port, nullptr) << baud;
        termios t{};
        tcgetattr(pty.slave(), &t);
        EXPECT_EQ(cfgetospeed(&t), cfgetispeed(&t)) << baud;
    }
    for (std::uint32_t baud : {0U, 1000U, 12345U, 115201U}) {
        PortHolder p;
        EXPECT_EQ(tryOpen(0, baud, pty.slaveName().c_str(), p), "") << baud;
        EXPECT_EQ(p.port, nullptr) << baud;
    }
}

TEST(PortOpen, SecondOpenOfTheSameDeviceFailsUntilTheFirstCloses) {
    PtyPair pty;
    PRS232_PORT* first = PRS232_Create(0, 9600, pty.slaveName().c_str());
    ASSERT_NE(first, nullptr);
    PortHolder second;
    EXPECT_EQ(tryOpen(0, 9600, pty.slaveName().c_str(), second), kOpenFailed);
    EXPECT_EQ(second.port, nullptr);
    PRS232_Delete(&first);
    EXPECT_EQ(first, nullptr);
    PortHolder again{PRS232_Create(0, 9600, pty.slaveName().c_str())};
    EXPECT_NE(again.port, nullptr);
}

TEST(PortOpen, RawEightNOneWhileOpenPreviousSettingsBackAfterClose) {
    PtyPair pty;
    termios t{};
    tcgetattr(pty.slave(), &t);
    t.c_lflag |= ICANON | ECHO;
    t.c_cflag |= CSTOPB;
    cfsetspeed(&t, B4800);
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);

    PRS232_PORT* port = PRS232_Create(0, 115200, pty.slaveName().c_str());
    ASSERT_NE(port, nullptr);
    tcgetattr(pty.slave(), &t);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0U);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

    PRS232_Delete(&port);
    tcgetattr(pty.slave(), &t);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_EQ(t.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
}

class PortIo : public ::testing::Test {
  protected:
    void SetUp() override {
        port_.port = PRS232_Create(0, 115200, pty_.slaveName().c_str());
        ASSERT_NE(port_.port, nullptr);
    }
    // One read of up to `want` bytes: its result, what came, and how long it took.
    int recv(std::uint32_t want, Bytes& got, double& ms) {
        got.assign(want, 0);
        std::uint32_t n = want;
        const auto t0 = Steady::now();
        const int r = PRS232_Recv(port_.port, got.data(), &n);
        ms = msSince(t0);
        got.resize(n);
        return r;
    }
    PtyPair pty_;
    PortHolder port_;
    Bytes got_;
    double ms_ = 0;
};

// Real time; upper bounds are generous for a shared machine.
TEST_F(PortIo, ReadEndsOnCountOnSilenceOrSoonAfterTheLastByte) {
    EXPECT_EQ(recv(0, got_, ms_), 1); // nothing asked: done at once
    EXPECT_LT(ms_, 500.0);
    EXPECT_EQ(recv(1, got_, ms_), 0); // silent line: about 41 ms
    EXPECT_EQ(got_, Bytes{});
    EXPECT_GE(ms_, 40.0);
    EXPECT_LT(ms_, 500.0);

    ASSERT_TRUE(writeBytes(pty_.master(), {0x5A}));
    EXPECT_EQ(recv(200, got_, ms_), 0);
    EXPECT_EQ(got_, Bytes{0x5A});
    EXPECT_LT(ms_, 200.0); // the 2 ms gap ends it, long before the 240 ms limit

    ASSERT_TRUE(writeBytes(pty_.master(), {1, 2, 3, 4, 5}));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(recv(3, got_, ms_), 1); // met from waiting bytes, the rest stays
    EXPECT_EQ(got_, Bytes({1, 2, 3}));
    EXPECT_EQ(recv(3, got_, ms_), 0);
    EXPECT_EQ(got_, Bytes({4, 5}));
}

TEST_F(PortIo, SendWritesEveryByteOrFailsWithinItsBound) {
    Bytes data(3000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(PRS232_Send(port_.port, data.data(), 3000), 1);
    EXPECT_EQ(readBytes(pty_.master(), data.size(), 2000), data);

    ASSERT_EQ(tcflow(pty_.slave(), TCOOFF), 0);
    const auto t0 = Steady::now();
    EXPECT_EQ(PRS232_Send(port_.port, data.data(), 50), 0);
    const double ms = msSince(t0);
    tcflow(pty_.slave(), TCOON);
    EXPECT_GE(ms, 130.0); // 40 + 2 * 50 ms
    EXPECT_LT(ms, 2000.0);
}

TEST(PortAdopt, WrapsAnOpenDescriptorAndClosesItOnDelete) {
    PtyPair pty;
    const int fd = dup(pty.master());
    PRS232_PORT* port = PRS232_Adopt(fd);
    ASSERT_NE(port, nullptr);
    const std::uint8_t out[2] = {0x06, 0x01};
    EXPECT_EQ(PRS232_Send(port, out, 2), 1);
    EXPECT_EQ(readBytes(pty.slave(), 2, 1000), Bytes({0x06, 0x01}));
    PRS232_Delete(&port);
    EXPECT_EQ(port, nullptr);
    PRS232_Delete(&port); // deleting none does nothing
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(PRS232_Adopt(-1), nullptr);
}

} // namespace
} // namespace tarq
