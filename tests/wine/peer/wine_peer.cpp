// Scripted terminal for the Windows link tests: a Linux process on the master side of a
// pseudo-terminal whose slave Wine knows as COM5. It publishes the slave's path through a
// symbolic link (the path the Wine registry maps COM5 to), plays one scenario against the
// driver running under Wine, and reports the verdict when the runner stops it.
//
//   wine_peer <link path> <scenario>
//
// Every frame of the driver must equal, byte for byte, the frame built by the tests' own
// independent encoder (bitwise CRC, own escaping).
#include "tests/support/pty_pair.h"

#include <signal.h>

#include <cstdio>
#include <functional>
#include <map>

namespace {

using namespace tarq::test;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t ACK = 0x06, WACK = 0x13, NAK = 0x15;

// Longest wait for the next byte of something the driver has started to send. Generous: the
// driver writes control bytes one call at a time, and Wine on a loaded machine can stall.
constexpr int kByteGapMs = 2000;

struct Fail : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string hex(const Bytes& b) {
    std::string s;
    char tmp[4];
    for (std::uint8_t x : b) {
        std::snprintf(tmp, sizeof tmp, "%02X ", x);
        s += tmp;
    }
    return s;
}

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

void checkRange(double v, double lo, double hi, const char* what) {
    if (v < lo || v > hi) {
        char msg[160];
        std::snprintf(msg, sizeof msg, "%s: %.0f ms, wanted %.0f..%.0f ms", what, v, lo, hi);
        throw Fail(msg);
    }
}

class Peer {
  public:
    Peer(int master, int slave) : fd_(master), slave_(slave) {}

    // The line settings the driver's side of the pty has now.
    termios lineSettings() const {
        termios tio{};
        tcgetattr(slave_, &tio);
        return tio;
    }
    int fd() const { return fd_; }

    void write(const Bytes& b) {
        if (!writeBytes(fd_, b)) throw Fail("write to the pty failed");
    }
    void sendFrame(std::uint8_t seq, const Bytes& data) { write(buildFrame(seq, data)); }
    void ack(std::uint8_t seq) { write({ACK, seq}); }

    // The next frame of the driver, which must be exactly this one; returns when it ended.
    Clock::time_point expectFrame(int timeoutMs, const char* what, std::uint8_t seq,
                                  const Bytes& data) {
        const PeerMessage m = readMessage(fd_, timeoutMs, kByteGapMs);
        if (m.raw != buildFrame(seq, data)) {
            throw Fail(std::string(what) + ": got " + hex(m.raw) + ", wanted " +
                       hex(buildFrame(seq, data)));
        }
        return Clock::now();
    }
    void expectBytes(const Bytes& want, int timeoutMs, const char* what) {
        const Bytes got = readBytes(fd_, want.size(), timeoutMs);
        if (got != want)
            throw Fail(std::string(what) + ": got " + hex(got) + ", wanted " + hex(want));
    }
    void expectSilence(int ms, const char* what) {
        const Bytes b = readBytes(fd_, 1, ms);
        if (!b.empty()) throw Fail(std::string(what) + ": unexpected byte " + hex(b));
    }

  private:
    int fd_;
    int slave_;
};

Bytes filled(std::size_t n, std::uint8_t start) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(start + i);
    return b;
}

// ---------------------------------------------------------------------------------------------
// Scenarios. Each one mirrors the scenario of the same name in link_wine_test.cpp.

const Bytes kEscaped{0x02, 0x10, 0x41};
const Bytes kAbc{0x61, 0x62, 0x63};
const Bytes kInbound{0x10, 0x10, 0x03, 0x02, 0xFF, 0x00};

// The line starts at 9600 baud; the driver's port must run 8N1 at 115200 and put 9600 back.
void portTiming(Peer& p) {
    p.expectBytes({'R'}, 15000, "ready byte");
    const termios line = p.lineSettings();
    if (cfgetospeed(&line) != B115200 || cfgetispeed(&line) != B115200)
        throw Fail("the open port does not run at 115200 baud");
    if ((line.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8) throw Fail("the open port is not 8N1");
    p.write({'x'});
    p.expectBytes({'S'}, 5000, "second ready byte");
    p.write(filled(300, 0x20));
    p.expectBytes({'T'}, 5000, "third ready byte");
    p.write({'a', 'b'});
    usleep(1000 * 1000);
    p.write({'c', 'd'});
    p.expectBytes({'E'}, 5000, "end byte");
    // The driver closes right after its end byte; its close restores the earlier speed.
    const auto t0 = Clock::now();
    for (termios now = p.lineSettings(); cfgetospeed(&now) != B9600; now = p.lineSettings()) {
        if (msBetween(t0, Clock::now()) > 10000)
            throw Fail("the line settings were not restored on close");
        usleep(20 * 1000);
    }
}

void linkFrames(Peer& p) {
    // Outbound: first frame FF, then 00, 01; a keep-alive from the driver is a plain frame.
    p.expectFrame(15000, "first frame", 0xFF, kEscaped);
    p.ack(0xFF);
    p.expectFrame(5000, "second frame", 0x00, kAbc);
    p.ack(0x00);
    p.expectFrame(5000, "empty frame", 0x01, {});
    p.ack(0x01);

    // Inbound: the first frame is taken whatever its number.
    p.sendFrame(0x07, kInbound);
    p.expectBytes({ACK, 0x07}, 5000, "ACK of the first inbound frame");
    p.sendFrame(0x08, {}); // keep-alive
    p.expectBytes({ACK, 0x08}, 5000, "ACK of the keep-alive");
    Bytes bad = buildFrame(0x09, Bytes{0x55});
    bad.back() ^= 0x5A;
    p.write(bad);
    p.expectBytes({NAK}, 5000, "NAK of a bad CRC");
    p.sendFrame(0x09, {0x56});
    p.expectBytes({ACK, 0x09}, 5000, "ACK of the repaired frame");
    p.sendFrame(0x09, {0x56}); // repeated: acknowledged again, not delivered
    p.expectBytes({ACK, 0x09}, 5000, "ACK of the repeated frame");
    p.sendFrame(0x0B, {0x57}); // skips 0A
    p.expectBytes({NAK}, 5000, "NAK of an out-of-sequence frame");
    p.sendFrame(0x0A, {0x58});
    p.expectBytes({ACK, 0x0A}, 5000, "ACK of the next frame");
    p.expectBytes({'E'}, 15000, "end byte");
}

void linkNak(Peer& p) {
    auto f = p.expectFrame(15000, "first transmission", 0xFF, kAbc);
    p.write({NAK});
    checkRange(msBetween(f, p.expectFrame(3000, "resend after NAK", 0xFF, kAbc)), 0, 2000,
               "resend after NAK");
    p.ack(0xFF);

    p.expectFrame(5000, "frame 00", 0x00, kAbc);
    p.ack(0x05); // wrong number: the driver keeps waiting without sending again
    p.expectSilence(500, "after a wrong ACK");
    p.ack(0x00);

    // Three NAKs: the fourth transmission goes out at once and the send gives up on it.
    f = p.expectFrame(5000, "frame 01 first", 0x01, kAbc);
    for (int i = 2; i <= 4; ++i) {
        p.write({NAK});
        p.expectFrame(3000, "frame 01 after NAK", 0x01, kAbc);
    }
    checkRange(msBetween(f, Clock::now()), 0, 3000, "four transmissions after NAKs");
    // Nothing but the test's end byte may follow: no fifth transmission.
    p.expectBytes({'E'}, 15000, "end byte after the fourth transmission");
}

void linkSilence(Peer& p) {
    auto prev = p.expectFrame(15000, "transmission 1", 0xFF, kAbc);
    for (int i = 2; i <= 4; ++i) {
        const auto f = p.expectFrame(9000, "retransmission", 0xFF, kAbc);
        checkRange(msBetween(prev, f), 3500, 6500, "interval between transmissions");
        prev = f;
    }
    p.expectBytes({'E'}, 15000, "end byte after four transmissions");
}

void linkWack(Peer& p) {
    p.expectFrame(15000, "frame FF", 0xFF, kAbc);
    p.write({WACK});
    usleep(800 * 1000);
    p.ack(0xFF);

    const auto f = p.expectFrame(5000, "frame 00", 0x00, kAbc);
    p.write({WACK}); // and then nothing: the send ends with the WACK result
    p.expectSilence(3000, "while busy");
    checkRange(msBetween(f, p.expectFrame(15000, "frame 01", 0x01, kAbc)), 3500, 9000,
               "WACK then silence");
    p.ack(0x01);
    p.expectBytes({'E'}, 15000, "end byte");
}

void linkInterleave(Peer& p) {
    p.expectFrame(15000, "frame FF", 0xFF, kAbc);
    // The terminal speaks first; the driver serves it while it waits for its ACK.
    p.sendFrame(0x30, {0x59});
    p.expectBytes({ACK, 0x30}, 5000, "ACK of a frame sent during the wait");
    p.sendFrame(0x31, {0x5A}); // 0x59 still waits: held back with WACK
    p.expectBytes({WACK}, 5000, "WACK of a second frame");
    p.ack(0xFF);
    // Collecting 0x59 releases the held frame.
    p.expectBytes({ACK, 0x31}, 15000, "ACK of the held frame");
    p.expectBytes({'E'}, 15000, "end byte");
}

void linkBadFrames(Peer& p) {
    p.expectFrame(15000, "frame FF", 0xFF, kAbc);
    p.ack(0xFF);
    // A pause of 300 ms inside a frame.
    const Bytes f = buildFrame(0x40, Bytes{0x61, 0x62});
    p.write(Bytes(f.begin(), f.begin() + 3));
    usleep(300 * 1000);
    p.write(Bytes(f.begin() + 3, f.end()));
    p.expectBytes({NAK}, 5000, "NAK of a frame with a pause");
    // Longer than the caller can take, and longer than any frame at all.
    p.sendFrame(0x40, filled(1500, 0x20));
    p.expectBytes({NAK}, 5000, "NAK of a 1500-byte frame");
    p.sendFrame(0x40, Bytes(3000, 0x10));
    p.expectBytes({NAK}, 5000, "NAK of a 6000-byte frame");
    p.sendFrame(0x40, {0x5B});
    p.expectBytes({ACK, 0x40}, 5000, "ACK of a good frame");
    p.expectBytes({'E'}, 15000, "end byte");
}

const std::map<std::string, std::function<void(Peer&)>> kScenarios{
    {"port_timing", portTiming},
    {"link_frames", linkFrames},
    {"link_nak", linkNak},
    {"link_silence", linkSilence},
    {"link_wack", linkWack},
    {"link_interleave", linkInterleave},
    {"link_bad_frames", linkBadFrames},
};

volatile sig_atomic_t stopRequested = 0;
void onTerm(int) {
    stopRequested = 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || kScenarios.count(argv[2]) == 0) {
        std::fprintf(stderr, "usage: wine_peer <link path> <scenario>\n");
        return 2;
    }
    const std::string link = argv[1];
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 2;
    }
    // Raw from the start, so nothing written before Wine sets the line up is cooked; holding
    // the slave open also keeps the master readable across the driver's close and reopen.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK); // the helpers poll

    const std::string tmp = link + ".tmp";
    unlink(tmp.c_str());
    if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        std::perror("symlink");
        return 2;
    }
    signal(SIGTERM, onTerm);
    alarm(180); // never outlive a stuck run

    Peer peer(master, slave);
    int rc = 0;
    try {
        kScenarios.at(argv[2])(peer);
        std::printf("peer: %s passed\n", argv[2]);
    } catch (const Fail& e) {
        std::printf("peer: %s FAILED: %s\n", argv[2], e.what());
        rc = 1;
    }
    std::fflush(stdout);
    // Linger until the runner stops us, swallowing whatever the driver still sends.
    while (!stopRequested)
        readBytes(peer.fd(), 4096, 100);
    unlink(link.c_str());
    return rc;
}
