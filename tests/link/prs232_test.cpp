// The POSIX serial port over a real pseudo-terminal: opening, settings, and the read and
// write time-out model.
#include "link/prs232_posix.h"
#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <thread>

namespace tarq {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::PtyPair;
using Steady = std::chrono::steady_clock;

const std::string kOpenFailed = "PRS232_Create:INVALID_HANDLE_VALUE:-1\n";

double msSince(Steady::time_point t0) {
    return std::chrono::duration<double, std::milli>(Steady::now() - t0).count();
}

// Port that is deleted at the end of the scope.
struct PortHolder {
    PRS232_PORT* port = nullptr;
    ~PortHolder() { PRS232_Delete(&port); }
};

TEST(PortNames, NumberNamesTheSerialDevice) {
    const std::pair<int, const char*> rows[] = {
        {1, "/dev/ttyS0"}, {3, "/dev/ttyS2"}, {12, "/dev/ttyS11"}, {255, "/dev/ttyS254"}};
    for (auto [n, name] : rows)
        EXPECT_EQ(PRS232_DeviceName(static_cast<std::uint8_t>(n)), name);
    EXPECT_EQ(PRS232_DeviceName(0), "");
}

TEST(PortOpen, UnopenableDevicePrintsTheLineAndFails) {
    const struct {
        std::uint8_t number;
        const char* device;
    } rows[] = {{0, nullptr}, {0, ""}, {1, "/nonexistent/tty"}, {250, nullptr}};
    for (const auto& row : rows) {
        ::testing::internal::CaptureStdout();
        PRS232_PORT* port = PRS232_Create(row.number, 115200, row.device);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), kOpenFailed);
        EXPECT_EQ(port, nullptr);
        PRS232_Delete(&port);
    }
}

TEST(PortOpen, ExplicitDeviceTakesPrecedenceOverTheNumber) {
    PtyPair pty;
    PortHolder p{PRS232_Create(250, 115200, pty.slaveName().c_str())};
    EXPECT_NE(p.port, nullptr);
}

TEST(PortOpen, StandardRatesOpenOthersFailSilently) {
    PtyPair pty;
    for (std::uint32_t baud : {1200U, 2400U, 4800U, 9600U, 19200U, 38400U, 57600U, 115200U}) {
        PortHolder p{PRS232_Create(0, baud, pty.slaveName().c_str())};
        ASSERT_NE(p.port, nullptr) << baud;
        termios t{};
        tcgetattr(pty.slave(), &t);
        EXPECT_EQ(cfgetospeed(&t), cfgetispeed(&t)) << baud;
    }
    for (std::uint32_t baud : {0U, 1000U, 12345U, 115201U}) {
        ::testing::internal::CaptureStdout();
        PRS232_PORT* port = PRS232_Create(0, baud, pty.slaveName().c_str());
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << baud;
        EXPECT_EQ(port, nullptr) << baud;
        PRS232_Delete(&port);
    }
}

TEST(PortOpen, SecondOpenOfTheSameDeviceFailsUntilTheFirstCloses) {
    PtyPair pty;
    PRS232_PORT* first = PRS232_Create(0, 9600, pty.slaveName().c_str());
    ASSERT_NE(first, nullptr);
    ::testing::internal::CaptureStdout();
    PRS232_PORT* second = PRS232_Create(0, 9600, pty.slaveName().c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), kOpenFailed);
    EXPECT_EQ(second, nullptr);
    PRS232_Delete(&first);
    EXPECT_EQ(first, nullptr);
    PortHolder again{PRS232_Create(0, 9600, pty.slaveName().c_str())};
    EXPECT_NE(again.port, nullptr);
}

TEST(PortOpen, RawEightNOneWhileOpenPreviousSettingsBackAfterClose) {
    PtyPair pty;
    termios before{};
    tcgetattr(pty.slave(), &before);
    before.c_lflag |= ICANON | ECHO;
    before.c_cflag |= CSTOPB;
    cfsetispeed(&before, B4800);
    cfsetospeed(&before, B4800);
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &before), 0);

    PRS232_PORT* port = PRS232_Create(0, 115200, pty.slaveName().c_str());
    ASSERT_NE(port, nullptr);
    termios open{};
    tcgetattr(pty.slave(), &open);
    EXPECT_EQ(open.c_lflag & (ICANON | ECHO), 0U);
    EXPECT_EQ(open.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(open.c_cflag & (PARENB | CSTOPB), 0U);
    EXPECT_EQ(cfgetospeed(&open), static_cast<speed_t>(B115200));

    PRS232_Delete(&port);
    termios after{};
    tcgetattr(pty.slave(), &after);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_EQ(after.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B4800));
}

class PortIo : public ::testing::Test {
  protected:
    void SetUp() override {
        port_.port = PRS232_Create(0, 115200, pty_.slaveName().c_str());
        ASSERT_NE(port_.port, nullptr);
    }
    PRS232_PORT* port() { return port_.port; }
    PtyPair pty_;
    PortHolder port_;
};

TEST_F(PortIo, ZeroByteRequestSucceedsAtOnce) {
    std::uint8_t b = 0;
    std::uint32_t n = 0;
    const auto t0 = Steady::now();
    EXPECT_EQ(PRS232_Recv(port(), &b, &n), 1);
    EXPECT_EQ(n, 0U);
    EXPECT_LT(msSince(t0), 500.0); // no wait at all; generous for a busy machine
}

TEST_F(PortIo, OneByteOnSilentLineReturnsEmptyAfterAbout41Ms) {
    std::uint8_t b = 0;
    std::uint32_t n = 1;
    const auto t0 = Steady::now();
    EXPECT_EQ(PRS232_Recv(port(), &b, &n), 0);
    const double ms = msSince(t0);
    EXPECT_EQ(n, 0U);
    EXPECT_GE(ms, 40.0);
    EXPECT_LT(ms, 500.0); // generous: shared machine
}

TEST_F(PortIo, ShortArrivalReturnsWhatCameSoonAfterTheLastByte) {
    ASSERT_TRUE(test::writeBytes(pty_.master(), {0x5A}));
    Bytes buf(200, 0);
    std::uint32_t n = 200;
    const auto t0 = Steady::now();
    EXPECT_EQ(PRS232_Recv(port(), buf.data(), &n), 0);
    // The overall limit would be 240 ms; the 2 ms gap after the byte ends the read long before.
    EXPECT_LT(msSince(t0), 200.0);
    ASSERT_EQ(n, 1U);
    EXPECT_EQ(buf[0], 0x5A);
}

TEST_F(PortIo, RequestMetFromWaitingBytesLeavesTheRest) {
    ASSERT_TRUE(test::writeBytes(pty_.master(), {1, 2, 3, 4, 5}));
    std::this_thread::sleep_for(20ms);
    std::uint8_t buf[3] = {};
    std::uint32_t n = 3;
    EXPECT_EQ(PRS232_Recv(port(), buf, &n), 1);
    EXPECT_EQ(n, 3U);
    EXPECT_EQ(buf[2], 3);
    n = 3;
    EXPECT_EQ(PRS232_Recv(port(), buf, &n), 0);
    EXPECT_EQ(n, 2U);
    EXPECT_EQ(buf[0], 4);
    EXPECT_EQ(buf[1], 5);
}

TEST_F(PortIo, SendWritesEveryByte) {
    Bytes data(3000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(PRS232_Send(port(), data.data(), static_cast<std::uint32_t>(data.size())), 1);
    EXPECT_EQ(test::readBytes(pty_.master(), data.size(), 2000), data);
}

TEST_F(PortIo, StoppedOutputMakesSendFailWithinItsBound) {
    ASSERT_EQ(tcflow(pty_.slave(), TCOOFF), 0);
    const std::uint8_t data[50] = {};
    const auto t0 = Steady::now();
    EXPECT_EQ(PRS232_Send(port(), data, 50), 0);
    const double ms = msSince(t0);
    tcflow(pty_.slave(), TCOON);
    EXPECT_GE(ms, 130.0); // 40 + 2 * 50 ms
    EXPECT_LT(ms, 2000.0);
}

TEST(PortAdopt, WrapsAnOpenDescriptorAndClosesItOnDelete) {
    PtyPair pty;
    const int fd = dup(pty.master());
    ASSERT_GE(fd, 0);
    PRS232_PORT* port = PRS232_Adopt(fd);
    ASSERT_NE(port, nullptr);
    const std::uint8_t out[2] = {0x06, 0x01};
    EXPECT_EQ(PRS232_Send(port, out, 2), 1);
    EXPECT_EQ(test::readBytes(pty.slave(), 2, 1000), Bytes({0x06, 0x01}));

    std::uint8_t b = 0;
    std::uint32_t n = 1;
    const auto t0 = Steady::now();
    EXPECT_EQ(PRS232_Recv(port, &b, &n), 0); // same read model on the master side
    EXPECT_GE(msSince(t0), 40.0);

    PRS232_Delete(&port);
    EXPECT_EQ(port, nullptr);
    PRS232_Delete(&port); // deleting none does nothing
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(PRS232_Adopt(-1), nullptr);
}

} // namespace
} // namespace tarq
