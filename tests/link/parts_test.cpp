// The link's parts: frames against byte vectors (CRC, escaping, numbering), the sequence check, the
// timer, and the POSIX port over a real pseudo-terminal (open, settings and restore, read model).
#include "link/prs232_read.h"
#include "link/prs232_tcp.h"
#include "tests/link/link_fixture.h"
#include "tests/support/capture_stdout.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <tuple>

namespace tarq {
namespace {

using namespace test;

struct Port {
    PRS232_PORT* port = nullptr;
    ~Port() { PRS232_Delete(&port); }
};

// What reached descriptor 1 when the call returned (all a till reading through a pipe sees).
template <class F> std::string printedAtOnce(F&& call) {
    std::fflush(stdout);
    FILE* file = std::tmpfile();
    const int saved = dup(1);
    dup2(fileno(file), 1);
    call();
    std::string text(4096, '\0');
    const ssize_t n = pread(fileno(file), text.data(), text.size(), 0);
    text.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    std::fflush(stdout); // what was left behind goes to the file, not to the test's output
    dup2(saved, 1);
    close(saved);
    std::fclose(file);
    return text;
}

// A listening loopback socket and its DEVICE value; `fill`: its full queue answers no connection.
int listener(sockaddr_in& a, std::string& device, bool fill = false) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    a = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    const auto addr = reinterpret_cast<sockaddr*>(&a);
    if ((bind(s, addr, size) | listen(s, 0) | getsockname(s, addr, &size)) != 0) return -1;
    device = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    for (int i = 0; fill && i < 2; ++i)
        connect(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), addr, size);
    std::this_thread::sleep_for(std::chrono::milliseconds(fill ? 100 : 0));
    return s;
}

// Previous number -1: the link's first frame.
TEST(Frame, BuiltByteForByteWithTheNextNumber) {
    const std::tuple<int, Bytes, Bytes> rows[] = {
        {-1, {}, {0x02, 0xFF, 0x03, 0x01, 0xF1}},
        {0xFE, {}, {0x02, 0x00, 0x03, 0x40, 0x01}},
        {0x00, {0x61, 0x62, 0x63}, {0x02, 0x01, 0x61, 0x62, 0x63, 0x03, 0xEB, 0x13}},
        {0xFF, {0x02, 0x10, 0x41}, {0x02, 0x00, 0x10, 0x02, 0x10, 0x10, 0x41, 0x03, 0x0E, 0x04}},
        {0xFD, {0x41}, buildFrame(0xFE, Bytes{0x41})}};
    EXPECT_EQ(PKISS_CalcCrc(text("123456789").data(), 9), 0xBB3DU);
    EXPECT_EQ(PKISS_UnStuff(nullptr, text("a").data(), 1), 0U); // nowhere to write: nothing
    for (const auto& [previous, data, frame] : rows) {
        auto link = std::make_unique<PKISS_LINK>();
        if (previous >= 0) PKISS_ClearState(link.get(), PKISS_FIRST_SEND);
        link->txSeq = static_cast<std::uint8_t>(previous);
        PKISS_BuildFrame(link.get(), data.data(), static_cast<std::uint32_t>(data.size()));
        EXPECT_EQ(Bytes(link->txFrame.begin(), link->txFrame.begin() + link->txFrameLength), frame);
    }
}

// Receiving: which numbers pass after the last acknowledged one (-1: none acknowledged yet).
TEST(Frame, SequenceCheck) {
    const std::tuple<int, int, int> rows[] = {{-1, 0x42, 1},   {0x42, 0xFF, 1}, {0xFF, 0xFF, 1},
                                              {0xFE, 0x00, 1}, {0xFF, 0x00, 1}, {0xFD, 0x00, 0},
                                              {0x05, 0x05, 1}, {0x05, 0x06, 1}, {0x05, 0x07, 0},
                                              {0x05, 0x04, 0}, {0xFF, 0x01, 0}, {0xFD, 0xFE, 1}};
    for (const auto& [last, seq, acceptable] : rows) {
        auto link = std::make_unique<PKISS_LINK>();
        if (last >= 0) PKISS_ClearState(link.get(), PKISS_FIRST_RECV);
        link->lastRxSeq = static_cast<std::uint8_t>(last);
        EXPECT_EQ(PKISS_VerifySeq(link.get(), static_cast<std::uint8_t>(seq)), acceptable)
            << last << " " << seq;
    }
}

// Start, duration (the link's two, to the millisecond), time passed, run out; across 2^31 and 2^32.
TEST(Timer, RunsOutFromItsDurationOn) {
    constexpr std::uint32_t ackMs = PKISS_ACK_TIMEOUT, rxMs = PKISS_RECV_TIMEOUT;
    const std::tuple<std::int64_t, std::uint32_t, std::int64_t, int> rows[] = {
        {5'000'000'000, 0, 0, 1},     {5'000'000'000, ackMs, 3999, 0}, {5'000'000'000, 600, 600, 1},
        {0x7FFF'FF00, 4000, 3999, 0}, {0x7FFF'FF00, ackMs, 4000, 1},   {0xFFFF'FF00, rxMs, 599, 0},
        {0xFFFF'FF00, rxMs, 600, 1}};
    for (const auto& [start, duration, elapsed, out] : rows) {
        ManualClock clock(start);
        ScopedClock scope(clock);
        PTIMER_TIMER timer;
        PTIMER_Start(&timer, duration);
        clock.advanceMs(elapsed);
        EXPECT_EQ(PTIMER_IsTimeout(&timer), out) << start << "+" << elapsed;
        EXPECT_EQ(nowSeconds(), (start + elapsed) / 1000); // the engine's seconds: whole ones
        EXPECT_EQ(PTIMER_Remaining(&timer),
                  out ? 0U : duration - static_cast<std::uint32_t>(elapsed));
    }
}

TEST(Port, OpenFailuresSayTheCause) {
    PtyPair pty, busy;
    const std::string failed = "PRS232_Create:INVALID_HANDLE_VALUE:-1\nPRS232_Create: ",
                      pts = pty.slaveName(), held = busy.slaveName();
    Port holder{PRS232_Create(0, 9600, held.c_str())};
    sockaddr_in a{};
    std::string full;
    ASSERT_GE(listener(a, full, true), 0);
    // No descriptor is left open by a failed open.
    const auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = openFiles();
    const std::tuple<std::uint8_t, const char*, std::uint32_t, std::string> rows[] = {
        {0, nullptr, 9600, failed + "port number 0 names no device\n"},
        {1, "/nonexistent/tty", 9600, failed + "/nonexistent/tty: No such file or directory\n"},
        {0, held.c_str(), 9600, failed + held + ": Device or resource busy\n"},
        {0, "/dev/null", 9600,
         "PRS232_Create: /dev/null: not a serial port (Inappropriate ioctl for device)\n"},
        {0, pts.c_str(), 12345,
         "PRS232_Create: " + pts + ": line speed 12345 bit/s not supported\n"},
        {0, "tcp://[::1", 9600, "PRS232_Create: tcp://[::1: not tcp://HOST:PORT\n"},
        {0, "tcp://[fe80::1%nosuchif]:4000", 9600, // refused by the name lookup, no network
         "PRS232_Create: no connection to fe80::1%nosuchif port 4000: Name or service not "
         "known\n"},
        {0, full.c_str(), 9600, // after 3 s
         "PRS232_Create: no connection to 127.0.0.1 port " + full.substr(16) +
             ": Connection timed out\n"}};
    for (const auto& [number, device, baud, printed] : rows) {
        Port p;
        EXPECT_EQ(printedAtOnce([&] { p.port = PRS232_Create(number, baud, device); }), printed);
        EXPECT_EQ(p.port, nullptr);
    }
    EXPECT_EQ(captureStdout([&] { // no descriptor left for the socket
                  rlimit files{};
                  getrlimit(RLIMIT_NOFILE, &files);
                  const int lowest = dup(0);
                  close(lowest);
                  const rlimit none{static_cast<rlim_t>(lowest), files.rlim_max};
                  setrlimit(RLIMIT_NOFILE, &none);
                  EXPECT_EQ(PRS232_Create(0, 0, full.c_str()), nullptr);
                  setrlimit(RLIMIT_NOFILE, &files);
              }),
              "PRS232_Create: no connection to 127.0.0.1 port " + full.substr(16) +
                  ": Too many open files\n");
    EXPECT_EQ(openFiles(), before);
    EXPECT_NE(Port{PRS232_Create(0, 9600, pts.c_str())}.port, nullptr); // nothing left held
}

// HOST: a name, IPv4 or [IPv6] (only in brackets, its colons being ambiguous); PORT 1 to 65535.
TEST(Port, TcpAddressForms) {
    const std::pair<const char*, const char*> forms[] = {
        {"h:19", "h 19"}, {"10.0.0.1:65535", "10.0.0.1 65535"}, {"[::1]:08080", "::1 8080"}};
    for (const auto& [text, parts] : forms) {
        const auto a = PRS232_ParseTcp(text);
        EXPECT_EQ(a ? a->host + " " + a->port : "", parts) << text;
    }
    for (const char* text : {"::1:4001", "h:65536", "h:0", "h:", ":4001", "h", "h:40a1", "[]:1",
                             "a b:1", "h/x:1", "h:4294967376", "[::1:1", "h]:1"})
        EXPECT_FALSE(PRS232_ParseTcp(text)) << text;
    EXPECT_EQ(std::pair(PRS232_IsTcp("tcp://h:1"), PRS232_IsTcp("tcp:/h:1")),
              std::pair(true, false));
}

// The peer closing a TCP line: gone before anything is read, writes fail without a SIGPIPE.
TEST(Port, ClosedTcpLineIsGoneAndWritesFailQuietly) {
    sockaddr_in a{};
    std::string device;
    const int server = listener(a, device);
    const int input = dup(0);
    close(0); // a till without standard input: the line's socket may be descriptor 0
    Port p{PRS232_Create(0, 9600, device.c_str())};
    std::array<int, 5> options{}; // the line's socket: no delay, keep-alive after 10 s, 5 s, 3
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
            peer.sin_port != a.sin_port)
            continue;
        const std::pair<int, int> names[] = {{IPPROTO_TCP, TCP_NODELAY},
                                             {SOL_SOCKET, SO_KEEPALIVE},
                                             {IPPROTO_TCP, TCP_KEEPIDLE},
                                             {IPPROTO_TCP, TCP_KEEPINTVL},
                                             {IPPROTO_TCP, TCP_KEEPCNT}};
        for (std::size_t i = 0; i < options.size(); ++i)
            getsockopt(fd, names[i].first, names[i].second, &options[i], &(size = sizeof(int)));
    }
    EXPECT_EQ(options, (std::array<int, 5>{1, 1, 10, 5, 3}));
    const int peer = accept(server, nullptr, nullptr);
    EXPECT_EQ(write(peer, "x", 1), 1);
    EXPECT_EQ(PRS232_WaitInput(p.port, 2000), 1);
    EXPECT_EQ(std::pair(PRS232_Gone(p.port), PRS232_Gone(nullptr)), std::pair(0, 1)); // data
    close(peer);
    close(server);
    std::uint8_t byte = 0;
    std::uint32_t n = 1;
    EXPECT_EQ(PRS232_Recv(p.port, &byte, &n), 1); // the byte; then the end of the stream
    EXPECT_EQ(PRS232_WaitInput(p.port, 2000), 1);
    EXPECT_EQ(PRS232_Gone(p.port), 1);
    for (int i = 0; i < 100 && PRS232_Send(p.port, &byte, 1) == 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // until the reset is back
    EXPECT_EQ(PRS232_Send(p.port, &byte, 1), 0);
    PRS232_Delete(&p.port);
    dup2(input, 0);
    close(input);
}

TEST(Port, OnlyAGoneDeviceStopsReading) {
    const ReadFault N = ReadFault::None, L = ReadFault::Line, G = ReadFault::Gone;
    const std::tuple<std::vector<ReadStep>, std::uint32_t, ReadFault, std::uint32_t, bool> rows[] =
        {{{{10, N}, {2, N}, {0, N}}, 10, N, 2, false},
         {{{3, N}, {4, N}, {0, L}, {2, N}, {0, N}}, 7, L, 2, false},
         {{{3, N}, {0, G}, {2, N}}, 3, G, 0, true}};
    for (const auto& [script, first, fault, second, broken] : rows) {
        std::size_t next = 0;
        const auto call = [&](std::uint8_t*, std::uint32_t) { return script.at(next++); };
        bool gone = false;
        std::array<std::uint8_t, 10> buf{};
        const ReadStep read = readUntilSilent(call, buf.data(), 10, gone);
        EXPECT_EQ(std::pair(read.got, read.fault), std::pair(first, fault));
        EXPECT_EQ(readUntilSilent(call, buf.data(), 10, gone).got, second);
        EXPECT_EQ(gone, broken);
    }
}

TEST(Port, RawEightNOneAtTheRateHeldExclusivelyPreviousSettingsBackAfterClose) {
    PtyPair pty;
    termios t{};
    tcgetattr(pty.slave(), &t);
    t.c_lflag |= ICANON | ECHO;
    t.c_cflag |= CSTOPB;
    cfsetspeed(&t, B4800);
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);
    ASSERT_TRUE(writeBytes(pty.master(), text("stale\n")));      // dropped by the open
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // through to the line
    const int input = dup(0); // the port gets descriptor 0, a descriptor like any other
    close(0);
    Port p{PRS232_Create(0, 1200, pty.slaveName().c_str())};
    ASSERT_NE(p.port, nullptr);
    EXPECT_EQ(std::pair(PRS232_WaitInput(p.port, 50), PRS232_Send(p.port, text("x").data(), 1)),
              std::pair(0, 1));
    tcgetattr(pty.slave(), &t);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0U);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t{CS8});
    EXPECT_EQ(cfgetospeed(&t), speed_t{B1200});
    EXPECT_EQ(cfgetispeed(&t), speed_t{B1200});
    Port second;
    captureStdout([&] { second.port = PRS232_Create(0, 1200, pty.slaveName().c_str()); });
    EXPECT_EQ(second.port, nullptr); // held exclusively
    int exclusive = 0;               // kept from other opens while held, and no longer after
    EXPECT_EQ((ioctl(pty.slave(), TIOCGEXCL, &exclusive), exclusive), 1);
    PRS232_Delete(&p.port);
    dup2(input, 0);
    close(input);
    EXPECT_EQ((ioctl(pty.slave(), TIOCGEXCL, &exclusive), exclusive), 0);
    tcgetattr(pty.slave(), &t);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), tcflag_t{ICANON | ECHO});
    EXPECT_EQ(t.c_cflag & CSTOPB, tcflag_t{CSTOPB});
    EXPECT_EQ(cfgetospeed(&t), speed_t{B4800});
    for (std::uint32_t baud : {300, 600, 1800, 2400, 19200, 38400, 57600, 230400, 460800, 921600,
                               14400}) // each rate tarqRS.ini may name, and one it may not
        EXPECT_EQ(Port{PRS232_Create(0, baud, pty.slaveName().c_str())}.port != nullptr,
                  baud != 14400)
            << baud;
}

// Real time, generous bounds. Rows in turn on one line: bytes written, asked for, what came, when.
TEST(Port, ReadEndsOnCountOnSilenceOrSoonAfterTheLastByte) {
    PtyPair pty;
    Port p{PRS232_Create(0, 115200, pty.slaveName().c_str())};
    ASSERT_NE(p.port, nullptr);
    const std::tuple<Bytes, std::uint32_t, int, Bytes, double, double> rows[] = {
        {{}, 1, 0, {}, 40, 500},          // silent line: about 41 ms
        {{0x5A}, 200, 0, {0x5A}, 0, 200}, // the 2 ms gap ends it, not the 240 ms
        {{1, 2, 3, 4, 5}, 3, 1, {1, 2, 3}, 0, 500},
        {{}, 3, 0, {4, 5}, 0, 500}}; // the rest stayed for the next read
    for (const auto& [wire, want, result, expected, minMs, maxMs] : rows) {
        ASSERT_TRUE(writeBytes(pty.master(), wire));
        if (want == 3) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Bytes got(want);
        std::uint32_t n = want;
        const auto t0 = Steady::now();
        EXPECT_EQ(PRS232_Recv(p.port, got.data(), &n), result);
        const double ms = msSince(t0);
        got.resize(n);
        EXPECT_EQ(got, expected);
        EXPECT_GE(ms, minMs);
        EXPECT_LT(ms, maxMs);
    }
    std::uint32_t n = 5, k = 5; // no port or no buffer: nothing read; nothing to write: done
    ASSERT_TRUE(writeBytes(pty.master(), Bytes{7})); // input waiting: said so
    EXPECT_EQ(PRS232_Recv(nullptr, Bytes(5).data(), &n) + PRS232_Recv(p.port, nullptr, &k), 0);
    EXPECT_EQ(n + k, 0U);
    EXPECT_EQ(std::tuple(PRS232_Send(p.port, nullptr, 0), PRS232_WaitInput(nullptr, 9),
                         PRS232_WaitInput(p.port, 500)),
              std::tuple(1, 1, 1));
    tcflow(pty.slave(), TCOOFF); // output held: the write gives up at its deadline, 40 + 2 * 8 ms
    const auto w0 = Steady::now();
    EXPECT_EQ(PRS232_Send(p.port, Bytes(8, 1).data(), 8), 0);
    EXPECT_GE(msSince(w0), 56);
    tcflow(pty.slave(), TCOON);
    pty.hangUp(); // the byte, if the line still gives it; then its read time is served, not spun
    const auto t0 = Steady::now();
    for (std::uint8_t byte = 0; std::uint32_t m : {1U, 1U})
        PRS232_Recv(p.port, &byte, &m);
    EXPECT_GE(msSince(t0), 40);
    EXPECT_EQ(PRS232_Send(p.port, Bytes(1, 1).data(), 1), 0); // nor is a write taken for sent
}
} // namespace
} // namespace tarq
