// TCP line on POSIX: a connected socket is a descriptor like the serial port's, so the serial
// backend's reads, writes and waits serve it; only the connection is made here.
#include "link/prs232_posix.h"
#include "link/prs232_tcp.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace tarq {
namespace {

using Clock = std::chrono::steady_clock;

struct AddrInfoFree {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

// Dead peers (a device server switched off) show within about half a minute, not hours.
void setOptions(int fd) {
    const int on = 1, idle = 10, interval = 5, count = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

// A connected descriptor, or -1 with the reason in `error`.
int connectBefore(const addrinfo& a, Clock::time_point deadline, int& error) {
    const int fd = socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    int r = connect(fd, a.ai_addr, a.ai_addrlen);
    error = r == 0 ? 0 : errno;
    // A failed poll (a signal) waits again; the deadline still ends the wait.
    while (error == EINPROGRESS || error == EINTR) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLOUT, 0};
        r = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
        socklen_t size = sizeof error;
        if (r == 0)
            error = ETIMEDOUT;
        else if (r > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
    }
    if (error == 0) return fd;
    close(fd);
    return -1;
}

} // namespace

PRS232_PORT* PRS232_CreateTcp(const char* device) {
    const auto address = PRS232_ParseTcp(device + std::strlen(TCP_DEVICE_PREFIX));
    if (!address) {
        std::printf("PRS232_Create: %s: not tcp://HOST:PORT\n", device);
        std::fflush(stdout);
        return nullptr;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(TCP_CONNECT_TIMEOUT_MS);
    addrinfo hints{}; // ai_family 0: IPv4 or IPv6, whichever the name has
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(address->host.c_str(), address->port.c_str(), &hints, &found);
    const std::unique_ptr<addrinfo, AddrInfoFree> list(found);
    std::string reason = lookup != 0 ? gai_strerror(lookup) : "no address";
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        int error = 0;
        const int fd = connectBefore(*a, deadline, error);
        if (fd >= 0) {
            setOptions(fd);
            return PRS232_AdoptSocket(fd);
        }
        reason = std::strerror(error);
    }
    std::printf("PRS232_Create: no connection to %s port %s: %s\n", address->host.c_str(),
                address->port.c_str(), reason.c_str());
    std::fflush(stdout);
    return nullptr;
}

} // namespace tarq
