// A real serial line for tests: a raw pseudo-terminal pair (holding its own slave open, so the
// master sees no hang-up when the driver reopens the line), and helpers for the terminal's end.
#pragma once

#include "tests/support/bytes.h"

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
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tarq::test {

class PtyPair {
  public:
    PtyPair() {
        std::array<char, 128> name{};
        if (openpty(&master_, &slave_, name.data(), nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        slaveName_ = name.data();
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        for (int fd : {master_, slave_})
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        if (master_ >= 0) close(master_);
        close(slave_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The terminal's end goes (an adapter pulled out): the driver's side hangs up, our slave stays.
    void hangUp() { close(std::exchange(master_, -1)); }
    int master() const { return master_; }                      // the terminal's end
    int slave() const { return slave_; }                        // for termios checks and tcflow()
    const std::string& slaveName() const { return slaveName_; } // the driver opens this

  private:
    int master_ = -1, slave_ = -1;
    std::string slaveName_;
};

// Milliseconds left until the deadline (rounded up), 0 once it has passed.
inline int msLeft(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) + 1 : 0;
}

// Writes all bytes of a non-blocking descriptor; false when it fails or 5 s pass.
inline bool writeBytes(int fd, std::span<const std::uint8_t> bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if ((w < 0 && errno != EAGAIN && errno != EINTR) || msLeft(deadline) == 0) {
            return false;
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
    return true;
}

// Reads from a non-blocking descriptor until `max` bytes have come or `timeoutMs` pass.
inline Bytes readBytes(int fd, std::size_t max, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Bytes out;
    std::array<std::uint8_t, 4096> buf{};
    while (out.size() < max) {
        const ssize_t r = read(fd, buf.data(), std::min(buf.size(), max - out.size()));
        if (r > 0) {
            out.insert(out.end(), buf.begin(), buf.begin() + r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) break;
        const int left = msLeft(deadline);
        if (left == 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) > 0 && (p.revents & POLLIN) == 0) break; // hung up
    }
    return out;
}

// A link frame: STX seq escaped data ETX, CRC-16/ARC bit by bit (not the driver's), low byte first.
inline Bytes buildFrame(std::uint8_t seq, std::span<const std::uint8_t> data) {
    Bytes f{0x02, seq};
    for (std::uint8_t b : data) {
        if (b == 0x02 || b == 0x03 || b == 0x10) f.push_back(0x10);
        f.push_back(b);
    }
    f.push_back(0x03);
    unsigned crc = 0;
    for (std::size_t i = 1; i < f.size(); ++i) {
        crc ^= f[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1U) ? (crc >> 1) ^ 0xA001U : crc >> 1;
    }
    f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    return f;
}

// What the other side sent next: a whole frame, an ACK with its number, or another byte.
struct PeerMessage {
    enum class Kind { None, Frame, Ack, Other };
    Kind kind = Kind::None;
    std::uint8_t seq = 0; // of a frame or an ACK
    Bytes raw;            // every byte read for this message
};

// Kind::None when nothing starts within timeoutMs; a message cut off for `gapMs` ends as it stands.
inline PeerMessage readMessage(int fd, int timeoutMs, int gapMs = 1000) {
    using Kind = PeerMessage::Kind;
    PeerMessage m;
    m.raw = readBytes(fd, 1, timeoutMs);
    if (m.raw.empty()) return m;
    const auto next = [&]() -> int {
        const Bytes b = readBytes(fd, 1, gapMs);
        if (b.empty()) return -1;
        m.raw.push_back(b[0]);
        return b[0];
    };
    m.kind = m.raw[0] == 0x02 ? Kind::Frame : m.raw[0] == 0x06 ? Kind::Ack : Kind::Other;
    if (m.kind == Kind::Other) return m;
    int b = next();
    m.seq = static_cast<std::uint8_t>(b);
    if (m.kind == Kind::Ack) return m;
    while (b >= 0 && (b = next()) >= 0 && b != 0x03)
        if (b == 0x10) b = next(); // an escaped byte
    if (b == 0x03) next(), next(); // the two CRC bytes
    return m;
}

} // namespace tarq::test
