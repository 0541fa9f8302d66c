// Serial port on POSIX: termios raw 8N1, exclusive open, and the link's read model built on
// poll() deadlines, because VTIME counts in tenths of seconds and the link needs milliseconds.
#include "link/prs232_posix.h"
#include "link/prs232_tcp.h"
#include "link/wipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <thread>

namespace tarq {

struct PRS232_PORT {
    int fd = -1; // newPort sets it
    bool restore = false; // saved settings are put back on close
    bool exclusive = false;
    bool socket = false; // a TCP connection: written without SIGPIPE, its end seen by peeking
    // The line hung up (device gone, other end closed) or a read failed: from now on reads and
    // waits sleep through their time-out, so callers that loop on silence do not spin.
    bool broken = false;
    termios saved{};
    std::uint32_t charNs = 0; // time of one character (10 bits) on the line, 0 if unknown
    // Bytes read from the device but not yet asked for. The link reads a frame one byte at a
    // time; taking what has arrived in one system call keeps that from costing one per byte.
    std::array<std::uint8_t, 4096> ahead{};
    std::uint32_t aheadPos = 0;
    std::uint32_t aheadLen = 0;
};

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

struct Rate {
    std::uint32_t baud;
    speed_t code;
};

constexpr Rate kRates[] = {
    {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

std::optional<speed_t> speedCode(std::uint32_t baud) {
    for (const Rate& r : kRates) {
        if (r.baud == baud) return r.code;
    }
    return std::nullopt;
}

enum class Wait { Ready, Timeout, Broken };

// Waits until fd is ready for `events` or the deadline passes. Signals only shorten one wait:
// the remaining time is computed again.
Wait waitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= nanoseconds::zero()) return Wait::Timeout;
        const auto ns = std::chrono::duration_cast<nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        std::array p{pollfd{fd, events, 0}}; // one descriptor: the size follows from it
        const int r = ppoll(p.data(), p.size(), &ts, nullptr);
        // A hang-up also reports POLLIN (the read would return end of file): check it first.
        if (r > 0) {
            if ((p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return Wait::Broken;
            return (p[0].revents & events) != 0 ? Wait::Ready : Wait::Broken;
        }
        if (r == 0) continue; // deadline rounding: look at the clock again
        if (errno != EINTR) return Wait::Broken;
    }
}

PRS232_PORT* newPort(int fd) {
    auto* port = new (std::nothrow) PRS232_PORT;
    if (port == nullptr) return nullptr;
    port->fd = fd;
    return port;
}

void closePort(PRS232_PORT* port) {
    wipeBytes(port->ahead.data() + port->aheadPos, port->aheadLen - port->aheadPos); // not taken
    if (port->fd >= 0) {
        if (port->restore) tcsetattr(port->fd, TCSANOW, &port->saved);
        if (port->exclusive) ioctl(port->fd, TIOCNXCL);
        close(port->fd); // also drops the flock
    }
    delete port;
}

// Null when the line is set up at baud (whose code is given), else the system's error text.
const char* configure(PRS232_PORT* port, std::uint32_t baud, speed_t code) {
    termios t = port->saved;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // The descriptor is non-blocking: every wait is a poll() with its own deadline. VMIN 1 makes
    // an empty read say EAGAIN rather than 0, which would look like end of file.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0 ||
        tcsetattr(port->fd, TCSANOW, &t) != 0)
        return std::strerror(errno);
    port->charNs = static_cast<std::uint32_t>(10'000'000'000ULL / baud);
    tcflush(port->fd, TCIOFLUSH);
    return nullptr;
}

// A hung-up or failing line reads like a silent one, but the wait is still served, so callers
// that loop on silence do not spin.
void markBroken(PRS232_PORT* port, std::uint32_t got, Clock::time_point total) {
    port->broken = true;
    if (got == 0) std::this_thread::sleep_until(total);
}

std::uint32_t takeAhead(PRS232_PORT* port, std::uint8_t* dst, std::uint32_t max) {
    const std::uint32_t n = std::min(max, port->aheadLen - port->aheadPos);
    std::memcpy(dst, port->ahead.data() + port->aheadPos, n);
    wipeBytes(port->ahead.data() + port->aheadPos, n); // the terminal's track 2, maybe: one copy
    port->aheadPos += n;
    if (port->aheadPos == port->aheadLen) port->aheadPos = port->aheadLen = 0;
    return n;
}

// One write; on a socket without SIGPIPE, which would end the till when the peer has gone.
ssize_t writeSome(const PRS232_PORT* port, const std::uint8_t* data, std::uint32_t n) {
    if (port->socket) return send(port->fd, data, n, MSG_NOSIGNAL);
    return write(port->fd, data, n);
}

// Whether a readable socket holds the end of the stream or an error rather than data; nothing
// is taken from it.
bool streamEnded(int fd) {
    std::array<std::uint8_t, 1> byte{};
    return recv(fd, byte.data(), byte.size(), MSG_PEEK | MSG_DONTWAIT) <= 0;
}

} // namespace

std::string PRS232_DeviceName(std::uint8_t port) {
    if (port == 0) return {};
    return "/dev/ttyS" + std::to_string(static_cast<unsigned>(port) - 1U);
}

PRS232_PORT* PRS232_Create(std::uint8_t port, std::uint32_t baud, const char* device) {
    if (PRS232_IsTcp(device)) return PRS232_CreateTcp(device);
    // The record first: without memory, nothing has been opened that would need closing.
    std::unique_ptr<PRS232_PORT> record(newPort(-1));
    if (!record) return nullptr;
    const std::string name =
        (device != nullptr && device[0] != '\0') ? std::string(device) : PRS232_DeviceName(port);
    int fd = -1;
    int error = 0;
    if (!name.empty()) {
        do {
            fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        error = errno;
    }
    // Held exclusively: TIOCEXCL keeps out other opens (except privileged ones), the lock
    // keeps out a second driver even when it runs as root.
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? EBUSY : errno; // held by another process
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        std::printf("PRS232_Create:INVALID_HANDLE_VALUE:%d\n", -1);
        if (name.empty())
            std::printf("PRS232_Create: port number 0 names no device\n");
        else
            std::printf("PRS232_Create: %s: %s\n", name.c_str(), std::strerror(error));
        std::fflush(stdout);
        return nullptr;
    }
    PRS232_PORT* p = record.release();
    p->fd = fd;
    const bool terminal = tcgetattr(fd, &p->saved) == 0;
    const int notTerminal = errno;
    const auto code = speedCode(baud);
    if (!terminal) {
        std::printf("PRS232_Create: %s: not a serial port (%s)\n", name.c_str(),
                    std::strerror(notTerminal));
    } else if (!code) {
        std::printf("PRS232_Create: %s: line speed %u bit/s not supported\n", name.c_str(),
                    static_cast<unsigned>(baud));
    } else {
        p->restore = true;
        p->exclusive = ioctl(fd, TIOCEXCL) == 0;
        const char* const problem = configure(p, baud, *code);
        if (problem == nullptr) return p;
        std::printf("PRS232_Create: %s: %s\n", name.c_str(), problem);
    }
    std::fflush(stdout);
    closePort(p);
    return nullptr;
}

PRS232_PORT* PRS232_Adopt(int fd) {
    if (fd < 0) return nullptr;
    PRS232_PORT* p = newPort(fd);
    if (p == nullptr) return nullptr;
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return p;
}

PRS232_PORT* PRS232_AdoptSocket(int fd) {
    PRS232_PORT* p = PRS232_Adopt(fd);
    if (p != nullptr) p->socket = true;
    return p;
}

void PRS232_Delete(PRS232_PORT** port) {
    if (port == nullptr || *port == nullptr) return;
    closePort(*port);
    *port = nullptr;
}

int PRS232_Send(PRS232_PORT* port, const std::uint8_t* data, std::uint32_t n) {
    if (port == nullptr || port->fd < 0) return 0;
    if (n == 0) return 1;
    if (data == nullptr) return 0;
    const auto deadline =
        Clock::now() +
        milliseconds(WRITE_TOTAL_MS + static_cast<std::int64_t>(WRITE_PER_BYTE_MS) * n);
    std::uint32_t done = 0;
    while (done < n) {
        const ssize_t w = writeSome(port, data + done, n - done);
        if (w > 0) {
            done += static_cast<std::uint32_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return 0;
        if (waitReady(port->fd, POLLOUT, deadline) != Wait::Ready) return 0;
    }
    return 1;
}

int PRS232_Recv(PRS232_PORT* port, std::uint8_t* buf, std::uint32_t* n) {
    if (n == nullptr) return 0;
    const std::uint32_t want = *n;
    *n = 0;
    if (want == 0) return 1;
    if (port == nullptr || port->fd < 0 || buf == nullptr) return 0;

    const auto begin = Clock::now();
    const auto total =
        begin + milliseconds(READ_TOTAL_MS + static_cast<std::int64_t>(READ_PER_BYTE_MS) * want);
    // At slow rates one character takes longer than the 2 ms gap (8.3 ms at 1200 baud), so the
    // gap is counted from where the next character would have ended.
    const auto interval = milliseconds(READ_INTERVAL_MS) + nanoseconds(port->charNs);
    std::uint32_t got = takeAhead(port, buf, want);
    if (port->broken && got < want) markBroken(port, got, total);
    while (got < want && !port->broken) {
        const ssize_t r = read(port->fd, port->ahead.data(), port->ahead.size());
        if (r > 0) {
            port->aheadLen = static_cast<std::uint32_t>(r);
            got += takeAhead(port, buf + got, want - got);
            continue; // more may be there already
        }
        if (r < 0 && errno == EINTR) continue;
        // The descriptor is non-blocking, so an empty line says EAGAIN; 0 is end of file, which
        // is how a terminal reports that it hung up.
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            markBroken(port, got, total);
            break;
        }
        auto deadline = total;
        if (got > 0) deadline = std::min(total, Clock::now() + interval);
        const Wait w = waitReady(port->fd, POLLIN, deadline);
        if (w == Wait::Timeout) break;
        if (w == Wait::Broken) {
            markBroken(port, got, total);
            break;
        }
    }
    *n = got;
    return got == want ? 1 : 0;
}

int PRS232_WaitInput(PRS232_PORT* port, std::uint32_t ms) {
    if (port == nullptr || port->fd < 0) return 1;
    if (port->aheadPos < port->aheadLen) return 1;
    const auto deadline = Clock::now() + milliseconds(ms);
    if (!port->broken) {
        const Wait w = waitReady(port->fd, POLLIN, deadline);
        if (w == Wait::Ready) return 1;
        if (w == Wait::Timeout) return 0;
        port->broken = true;
    }
    // Nothing will come on a broken line: the wait is slept through, not spun.
    std::this_thread::sleep_until(deadline);
    return 0;
}

int PRS232_Gone(PRS232_PORT* port) {
    if (port == nullptr) return 1;
    if (!port->broken) {
        pollfd p{port->fd, POLLIN, 0};
        port->broken = poll(&p, 1, 0) > 0 &&
                       ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ||
                        (port->socket && (p.revents & POLLIN) != 0 && streamEnded(port->fd)));
    }
    return port->broken ? 1 : 0;
}

} // namespace tarq
