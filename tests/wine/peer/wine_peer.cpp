// Scripted terminal for the Windows link tests: a Linux process on the master side of a
// pseudo-terminal whose slave Wine knows as COM5. It publishes the slave's path through a
// symbolic link (the path the Wine registry maps COM5 to), plays one scenario against the
// driver running under Wine, and reports the verdict when the runner stops it.
//
//   wine_peer <link path> <scenario>
//
// Frames are parsed and built here from scratch (bitwise CRC, own escaping), so the driver's
// framing is checked against an independent reading of the wire format.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t STX = 0x02, ETX = 0x03, ACK = 0x06, DLE = 0x10, WACK = 0x13, NAK = 0x15;

// Longest wait for the next byte of something the driver has started to send. Generous: the
// driver writes control bytes one call at a time, and Wine on a loaded machine can stall.
constexpr int kByteGapMs = 2000;

struct Fail : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::uint16_t crcArc(const std::uint8_t* p, std::size_t n) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

Bytes frame(std::uint8_t seq, const Bytes& data, bool goodCrc = true) {
    Bytes f{STX, seq};
    for (std::uint8_t b : data) {
        if (b == STX || b == ETX || b == DLE) f.push_back(DLE);
        f.push_back(b);
    }
    f.push_back(ETX);
    std::uint16_t crc = crcArc(f.data() + 1, f.size() - 1);
    if (!goodCrc) crc ^= 0x5A5A;
    f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    return f;
}

std::string hex(const Bytes& b) {
    std::string s;
    char tmp[4];
    for (std::uint8_t x : b) {
        std::snprintf(tmp, sizeof tmp, "%02X ", x);
        s += tmp;
    }
    return s;
}

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

struct Frame {
    std::uint8_t seq = 0;
    Bytes data;
    Bytes raw;
    Clock::time_point at;
};

class Peer {
  public:
    Peer(int master, int slave) : fd_(master), slave_(slave) {}

    // The line settings the driver's side of the pty has now.
    termios lineSettings() const {
        termios tio{};
        tcgetattr(slave_, &tio);
        return tio;
    }

    std::optional<std::uint8_t> readByte(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        const int r = poll(&p, 1, timeoutMs);
        if (r <= 0) return std::nullopt;
        std::uint8_t b = 0;
        if (read(fd_, &b, 1) != 1) return std::nullopt;
        return b;
    }
    std::uint8_t needByte(int timeoutMs, const char* what) {
        auto b = readByte(timeoutMs);
        if (!b) throw Fail(std::string("timed out waiting for ") + what);
        return *b;
    }

    void write(const Bytes& b) {
        std::size_t done = 0;
        while (done < b.size()) {
            const ssize_t w = ::write(fd_, b.data() + done, b.size() - done);
            if (w <= 0) throw Fail("write to the pty failed");
            done += static_cast<std::size_t>(w);
        }
    }
    void sendFrame(std::uint8_t seq, const Bytes& data) { write(frame(seq, data)); }
    void ack(std::uint8_t seq) { write({ACK, seq}); }

    // The next frame the driver sends; its CRC and layout are checked.
    Frame expectFrame(int timeoutMs, const char* what) {
        Frame f;
        const std::uint8_t first = needByte(timeoutMs, what);
        f.at = Clock::now();
        if (first != STX)
            throw Fail(std::string(what) + ": expected STX, got byte " + hex({first}));
        f.raw.push_back(first);
        f.seq = needByte(kByteGapMs, "sequence number");
        f.raw.push_back(f.seq);
        for (;;) {
            std::uint8_t b = needByte(kByteGapMs, "frame data");
            f.raw.push_back(b);
            if (b == ETX) break;
            if (b == DLE) {
                b = needByte(kByteGapMs, "escaped byte");
                f.raw.push_back(b);
                if (b != STX && b != ETX && b != DLE) throw Fail("DLE before an ordinary byte");
            } else if (b == STX) {
                throw Fail("unescaped STX inside a frame");
            }
            f.data.push_back(b);
        }
        const std::uint8_t lo = needByte(kByteGapMs, "CRC low");
        const std::uint8_t hi = needByte(kByteGapMs, "CRC high");
        const std::uint16_t crc = crcArc(f.raw.data() + 1, f.raw.size() - 1);
        f.raw.push_back(lo);
        f.raw.push_back(hi);
        if (lo != (crc & 0xFF) || hi != (crc >> 8)) throw Fail("bad CRC in " + hex(f.raw));
        return f;
    }
    Frame expectFrame(int timeoutMs, const char* what, std::uint8_t seq, const Bytes& data) {
        Frame f = expectFrame(timeoutMs, what);
        if (f.seq != seq || f.data != data) {
            throw Fail(std::string(what) + ": got " + hex(f.raw) + ", wanted " +
                       hex(frame(seq, data)));
        }
        return f;
    }

    void expectBytes(const Bytes& want, int timeoutMs, const char* what) {
        Bytes got;
        for (std::size_t i = 0; i < want.size(); ++i) {
            auto b = readByte(i == 0 ? timeoutMs : kByteGapMs);
            if (!b) throw Fail(std::string(what) + ": got " + hex(got) + ", wanted " + hex(want));
            got.push_back(*b);
        }
        if (got != want)
            throw Fail(std::string(what) + ": got " + hex(got) + ", wanted " + hex(want));
    }
    void expectSilence(int ms, const char* what) {
        if (auto b = readByte(ms)) throw Fail(std::string(what) + ": unexpected byte " + hex({*b}));
    }

  private:
    int fd_;
    int slave_;
};

void checkRange(double v, double lo, double hi, const char* what) {
    if (v < lo || v > hi) {
        char msg[160];
        std::snprintf(msg, sizeof msg, "%s: %.0f ms, wanted %.0f..%.0f ms", what, v, lo, hi);
        throw Fail(msg);
    }
}

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
    if ((line.c_cflag & CSIZE) != CS8 || (line.c_cflag & (PARENB | CSTOPB)) != 0)
        throw Fail("the open port is not 8N1");
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
        if (msSince(t0) > 10000) throw Fail("the line settings were not restored on close");
        usleep(20 * 1000);
    }
}

void linkFrames(Peer& p) {
    // Outbound: first frame FF, then 00, 01; a keep-alive from the driver is a plain frame.
    Frame f = p.expectFrame(15000, "first frame", 0xFF, kEscaped);
    if (f.raw != Bytes{0x02, 0xFF, 0x10, 0x02, 0x10, 0x10, 0x41, 0x03, 0x01, 0x0B})
        throw Fail("first frame bytes " + hex(f.raw));
    p.ack(0xFF);
    p.expectFrame(5000, "second frame", 0x00, kAbc);
    p.ack(0x00);
    f = p.expectFrame(5000, "empty frame", 0x01, {});
    if (f.raw != Bytes{0x02, 0x01, 0x03, 0x41, 0x91}) throw Fail("empty frame bytes " + hex(f.raw));
    p.ack(0x01);

    // Inbound: the first frame is taken whatever its number.
    p.sendFrame(0x07, kInbound);
    p.expectBytes({ACK, 0x07}, 5000, "ACK of the first inbound frame");
    p.sendFrame(0x08, {}); // keep-alive
    p.expectBytes({ACK, 0x08}, 5000, "ACK of the keep-alive");
    p.write(frame(0x09, {0x55}, false));
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
    Frame f = p.expectFrame(15000, "first transmission", 0xFF, kAbc);
    p.write({NAK});
    Frame g = p.expectFrame(3000, "resend after NAK", 0xFF, kAbc);
    checkRange(std::chrono::duration<double, std::milli>(g.at - f.at).count(), 0, 2000,
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
    checkRange(msSince(f.at), 0, 3000, "four transmissions after NAKs");
    // Nothing but the test's end byte may follow: no fifth transmission.
    p.expectBytes({'E'}, 15000, "end byte after the fourth transmission");
}

void linkSilence(Peer& p) {
    Frame prev = p.expectFrame(15000, "transmission 1", 0xFF, kAbc);
    for (int i = 2; i <= 4; ++i) {
        Frame f = p.expectFrame(9000, "retransmission", 0xFF, kAbc);
        checkRange(std::chrono::duration<double, std::milli>(f.at - prev.at).count(), 3500, 6500,
                   "interval between transmissions");
        prev = f;
    }
    p.expectBytes({'E'}, 15000, "end byte after four transmissions");
}

void linkWack(Peer& p) {
    p.expectFrame(15000, "frame FF", 0xFF, kAbc);
    p.write({WACK});
    usleep(800 * 1000);
    p.ack(0xFF);

    Frame f = p.expectFrame(5000, "frame 00", 0x00, kAbc);
    p.write({WACK}); // and then nothing: the send ends with the WACK result
    p.expectSilence(3000, "while busy");
    Frame g = p.expectFrame(15000, "frame 01", 0x01, kAbc);
    checkRange(std::chrono::duration<double, std::milli>(g.at - f.at).count(), 3500, 9000,
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
    Bytes f = frame(0x40, {0x61, 0x62});
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

    const std::string tmp = link + ".tmp";
    unlink(tmp.c_str());
    if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        std::perror("symlink");
        return 2;
    }
    signal(SIGTERM, onTerm);
    signal(SIGALRM, SIG_DFL);
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
        peer.readByte(100);
    unlink(link.c_str());
    return rc;
}
