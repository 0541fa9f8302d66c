// TCP line on Windows: a blocking Winsock socket read with select() deadlines in the link's
// time model (2 ms after a byte, 40 ms plus 1 ms a byte in all).
#include "link/prs232_tcp_win32.h"

#include "link/prs232.h"
#include "link/prs232_tcp.h"

// Winsock's headers before windows.h, which would bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace tarq {

struct TcpLine {
    SOCKET socket = INVALID_SOCKET;
    // The peer closed or reset the connection: reads and waits sleep through their time-out.
    bool broken = false;
};

namespace {

using Ticks = ULONGLONG;

// 1 readable (or writable with `write`), 0 time-out, -1 failed.
int ready(SOCKET s, Ticks ms, bool write = false) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
    const int r = select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, &tv);
    if (r == SOCKET_ERROR || FD_ISSET(s, &failed)) return -1;
    return r > 0 ? 1 : 0;
}

std::string errorText(int error) {
    std::array<char, 256> text{};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(error), 0, text.data(),
                                  static_cast<DWORD>(text.size()), nullptr);
    while (length > 0 && std::strchr(" .\r\n", text[length - 1]) != nullptr)
        --length;
    return std::string(text.data(), length) + " (error " + std::to_string(error) + ")";
}

// Dead peers (a device server switched off) show within about half a minute, not hours.
void setOptions(SOCKET s) {
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive alive{1, 10000, 5000};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &alive, sizeof alive, nullptr, 0, &returned, nullptr, nullptr);
}

// A connected blocking socket, or INVALID_SOCKET with the reason in `error`.
SOCKET connectBefore(const addrinfo& a, Ticks deadline, int& error) {
    SOCKET s = socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (s == INVALID_SOCKET) {
        error = WSAGetLastError();
        return s;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    error = connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0 ? 0 : WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        const Ticks now = GetTickCount64();
        const int r = ready(s, deadline > now ? deadline - now : 0, true);
        int size = sizeof error;
        if (r == 0)
            error = WSAETIMEDOUT;
        else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
            error = WSAGetLastError();
    }
    nonBlocking = 0;
    if (error == 0 && ioctlsocket(s, FIONBIO, &nonBlocking) == 0) return s;
    closesocket(s);
    return INVALID_SOCKET;
}

} // namespace

TcpLine* tcpConnect(const char* device) {
    const auto address = PRS232_ParseTcp(device + std::strlen(TCP_DEVICE_PREFIX));
    if (!address) {
        std::printf("PRS232_Create: %s: not tcp://HOST:PORT\n", device);
        std::fflush(stdout);
        return nullptr;
    }
    WSADATA data{};
    const int started = WSAStartup(MAKEWORD(2, 2), &data);
    const Ticks deadline = GetTickCount64() + TCP_CONNECT_TIMEOUT_MS;
    addrinfo hints{}; // ai_family 0: IPv4 or IPv6, whichever the name has
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    int error = started != 0
                    ? started
                    : getaddrinfo(address->host.c_str(), address->port.c_str(), &hints, &found);
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const SOCKET s = connectBefore(*a, deadline, error);
        if (s == INVALID_SOCKET) continue;
        freeaddrinfo(found);
        setOptions(s);
        auto* line = new (std::nothrow) TcpLine;
        if (line == nullptr) {
            closesocket(s);
            WSACleanup();
            return nullptr;
        }
        line->socket = s;
        return line;
    }
    if (found != nullptr) freeaddrinfo(found);
    if (started == 0) WSACleanup();
    std::printf("PRS232_Create: no connection to %s port %s: %s\n", address->host.c_str(),
                address->port.c_str(), errorText(error).c_str());
    std::fflush(stdout);
    return nullptr;
}

void tcpClose(TcpLine* line) {
    if (line == nullptr) return;
    closesocket(line->socket);
    WSACleanup();
    delete line;
}

int tcpSend(TcpLine* line, const std::uint8_t* data, std::uint32_t n) {
    std::uint32_t done = 0;
    while (done < n) {
        const int w = send(line->socket, reinterpret_cast<const char*>(data + done),
                           static_cast<int>(n - done), 0);
        if (w <= 0) {
            line->broken = true;
            return 0;
        }
        done += static_cast<std::uint32_t>(w);
    }
    return 1;
}

std::uint32_t tcpRecv(TcpLine* line, std::uint8_t* buf, std::uint32_t want) {
    const Ticks total = GetTickCount64() + READ_TOTAL_MS + READ_PER_BYTE_MS * want;
    std::uint32_t got = 0;
    while (got < want && !line->broken) {
        const Ticks now = GetTickCount64();
        const Ticks until = got > 0 ? std::min(total, now + READ_INTERVAL_MS) : total;
        const int r = ready(line->socket, until > now ? until - now : 0);
        if (r == 0) break;
        const int n = r < 0 ? 0
                            : recv(line->socket, reinterpret_cast<char*>(buf + got),
                                   static_cast<int>(want - got), 0);
        if (n <= 0) { // the end of the stream, a reset, or a failed wait
            line->broken = true;
            break;
        }
        got += static_cast<std::uint32_t>(n);
    }
    const Ticks now = GetTickCount64();
    if (line->broken && got == 0 && total > now) Sleep(static_cast<DWORD>(total - now));
    return got;
}

int tcpWaitInput(TcpLine* line, std::uint32_t ms) {
    const int r = line->broken ? -1 : ready(line->socket, ms);
    if (r > 0) return 1;
    if (r < 0) {
        line->broken = true;
        Sleep(ms); // nothing will come: the wait is slept through, not spun
    }
    return 0;
}

int tcpGone(TcpLine* line) {
    if (!line->broken && ready(line->socket, 0) != 0) {
        char byte = 0;
        const int r = recv(line->socket, &byte, 1, MSG_PEEK);
        line->broken = r == 0 || r == SOCKET_ERROR;
    }
    return line->broken ? 1 : 0;
}

} // namespace tarq
