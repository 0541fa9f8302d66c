// A real serial line for tests: a pseudo-terminal pair in raw mode, and a few helpers for a
// scripted terminal on the master side (write bytes, read bytes with a deadline, build and
// read link frames). Header-only, POSIX only.
//
//   tarq::test::PtyPair pty;                       // driver opens pty.slaveName()
//   auto link = PKISS_Create(0, 115200, pty.slaveName().c_str());
//   writeBytes(pty.master(), buildFrame(0xFF, {0x61}));
//   PeerMessage m = readMessage(pty.master(), 1000); // -> Ack with seq 0xFF
//
// The pair keeps its own slave descriptor open for its whole life, so the master never sees a
// hang-up when the driver closes and reopens the line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarq::test {

using Bytes = std::vector<std::uint8_t>;

class PtyPair {
  public:
    PtyPair() {
        std::array<char, 128> name{};
        if (openpty(&master_, &slave_, name.data(), nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        slaveName_ = name.data();
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(slave_, TCSANOW, &t);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        fcntl(slave_, F_SETFL, fcntl(slave_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        close(master_);
        close(slave_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The terminal's end (non-blocking; the pair's slave descriptor is non-blocking too).
    int master() const { return master_; }
    // The pair's own descriptor of the driver's end; for termios checks and tcflow().
    int slave() const { return slave_; }
    // Device path of the driver's end, e.g. "/dev/pts/3".
    const std::string& slaveName() const { return slaveName_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
};

using SteadyClock = std::chrono::steady_clock;

inline int msLeft(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0;
}

// Writes all bytes, waiting as needed; false when the descriptor fails or 5 s pass.
inline bool writeBytes(int fd, std::span<const std::uint8_t> bytes) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (msLeft(deadline) == 0) return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 10);
    }
    return true;
}
inline bool writeBytes(int fd, std::initializer_list<std::uint8_t> bytes) {
    return writeBytes(fd, std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
}

// Reads until `max` bytes have come or the deadline passes; returns what came.
inline Bytes readBytesUntil(int fd, std::size_t max, SteadyClock::time_point deadline) {
    Bytes out;
    std::uint8_t buf[4096];
    while (out.size() < max) {
        const std::size_t want = std::min(sizeof buf, max - out.size());
        const ssize_t r = read(fd, buf, want);
        if (r > 0) {
            out.insert(out.end(), buf, buf + r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        const int left = msLeft(deadline);
        if (left == 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) > 0 && (p.revents & POLLIN) == 0) break; // hung up
    }
    return out;
}
inline Bytes readBytes(int fd, std::size_t max, int timeoutMs) {
    return readBytesUntil(fd, max, SteadyClock::now() + std::chrono::milliseconds(timeoutMs));
}

// CRC-16/ARC computed bit by bit, independent of the driver's table.
inline std::uint16_t crc16Arc(std::span<const std::uint8_t> bytes) {
    unsigned crc = 0;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1U) ? (crc >> 1) ^ 0xA001U : crc >> 1;
    }
    return static_cast<std::uint16_t>(crc);
}

// A complete link frame: STX seq escaped-data ETX crc-lo crc-hi.
inline Bytes buildFrame(std::uint8_t seq, std::span<const std::uint8_t> data) {
    Bytes f{0x02, seq};
    for (std::uint8_t b : data) {
        if (b == 0x02 || b == 0x03 || b == 0x10) f.push_back(0x10);
        f.push_back(b);
    }
    f.push_back(0x03);
    const std::uint16_t crc = crc16Arc(std::span<const std::uint8_t>(f).subspan(1));
    f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    return f;
}
inline Bytes buildFrame(std::uint8_t seq, std::initializer_list<std::uint8_t> data) {
    return buildFrame(seq, std::span<const std::uint8_t>(data.begin(), data.size()));
}

// What the other side sent next.
struct PeerMessage {
    enum class Kind { None, Frame, Ack, Nak, Wack, Other };
    Kind kind = Kind::None;
    std::uint8_t seq = 0; // of a frame or an ACK
    Bytes data;           // unescaped data block of a frame
    bool crcOk = false;   // frame only
    Bytes raw;            // every byte read for this message
};

// Reads the next control byte (with the sequence byte of an ACK) or a whole frame. Kind::None
// when nothing started within timeoutMs; a frame or ACK cut off for 1 s ends as it stands.
inline PeerMessage readMessage(int fd, int timeoutMs) {
    using Kind = PeerMessage::Kind;
    PeerMessage m;
    const auto first = readBytes(fd, 1, timeoutMs);
    if (first.empty()) return m;
    m.raw = first;
    const auto next = [&]() -> int {
        const auto b = readBytes(fd, 1, 1000);
        if (b.empty()) return -1;
        m.raw.push_back(b[0]);
        return b[0];
    };
    switch (first[0]) {
    case 0x06: {
        m.kind = Kind::Ack;
        const int s = next();
        m.seq = static_cast<std::uint8_t>(s < 0 ? 0 : s);
        return m;
    }
    case 0x15:
        m.kind = Kind::Nak;
        return m;
    case 0x13:
        m.kind = Kind::Wack;
        return m;
    case 0x02:
        break;
    default:
        m.kind = Kind::Other;
        return m;
    }
    m.kind = Kind::Frame;
    const int s = next();
    if (s < 0) return m;
    m.seq = static_cast<std::uint8_t>(s);
    bool escape = false;
    for (;;) {
        const int b = next();
        if (b < 0) return m;
        if (escape) {
            m.data.push_back(static_cast<std::uint8_t>(b));
            escape = false;
        } else if (b == 0x10) {
            escape = true;
        } else if (b == 0x03) {
            break;
        } else {
            m.data.push_back(static_cast<std::uint8_t>(b));
        }
    }
    const int lo = next();
    const int hi = next();
    if (lo < 0 || hi < 0) return m;
    const std::span<const std::uint8_t> covered(m.raw.data() + 1, m.raw.size() - 3);
    m.crcOk = crc16Arc(covered) == static_cast<std::uint16_t>(lo | (hi << 8));
    return m;
}

} // namespace tarq::test
