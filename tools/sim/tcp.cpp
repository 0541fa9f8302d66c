// The terminal behind a listening TCP socket: one connection at a time, the newest wins.
#include "tools/sim/tcp.h"

#include "link/prs232_posix.h"
#include "link/prs232_tcp.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

namespace tarq::sim {
namespace {

constexpr int kPollMs = 100; // how soon a stop or a new connection is noticed

bool pending(int listenFd, int ms) {
    pollfd p{listenFd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

int boundPort(int fd) {
    sockaddr_storage a{};
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
    return ntohs(a.ss_family == AF_INET6 ? v6->sin6_port : v4->sin_port);
}

} // namespace

int listenTcp(const std::string& hostPort, int& bound) {
    // Port 0 asks for any free port; the driver's own rule refuses it.
    const bool anyPort = hostPort.ends_with(":0");
    const auto address =
        PRS232_ParseTcp(anyPort ? hostPort.substr(0, hostPort.size() - 1) + "1" : hostPort);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (!address || getaddrinfo(address->host.c_str(), anyPort ? "0" : address->port.c_str(),
                                &hints, &found) != 0) {
        std::fprintf(stderr, "tarqsim: cannot listen on '%s': not HOST:PORT\n", hostPort.c_str());
        return -1;
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    // A restarted simulator takes its port back at once, as a device server does.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 4) != 0) {
        std::fprintf(stderr, "tarqsim: cannot listen on %s: %s\n", hostPort.c_str(),
                     std::strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    bound = boundPort(fd);
    return fd;
}

void serveTcp(int listenFd, const Config& config, std::FILE* logOut,
              const std::atomic<bool>& stop) {
    while (!stop.load()) {
        if (!pending(listenFd, kPollMs)) continue;
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::atomic<bool> leave{false};
        Terminal terminal(PRS232_AdoptSocket(fd), config, logOut);
        std::thread watch([&] {
            while (!leave.load() && !stop.load() && !pending(listenFd, kPollMs)) {
            }
            leave.store(true);
        });
        terminal.run(leave);
        const bool ecrClosed = !leave.exchange(true); // run ended by itself: exitOnClose
        watch.join();
        if (ecrClosed) return;
    }
}

} // namespace tarq::sim
