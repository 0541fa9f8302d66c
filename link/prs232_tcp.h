// The line as a TCP connection (a serial device server in raw TCP mode, or the simulator):
// chosen by a DEVICE value "tcp://HOST:PORT"; to the link it is a byte stream like the line.
#pragma once

#include "link/prs232.h"

#include <optional>
#include <string>
#include <string_view>

namespace tarq {

inline constexpr char TCP_DEVICE_PREFIX[] = "tcp://";
inline constexpr unsigned TCP_CONNECT_TIMEOUT_MS = 3000;

struct TcpAddress {
    std::string host; // a name, an IPv4 address, or an IPv6 address without its brackets
    std::string port; // 1 to 65535, digits only
};

// Whether a DEVICE value asks for TCP (it starts with "tcp://").
bool PRS232_IsTcp(const char* device);
// "HOST:PORT" (HOST a name, IPv4 or [IPv6]); nullopt when it is not that.
std::optional<TcpAddress> PRS232_ParseTcp(std::string_view text);
// Connects to the "tcp://HOST:PORT" in `device` within TCP_CONNECT_TIMEOUT_MS, with no delay
// for small writes and keep-alive on. nullptr on failure, with one line naming the host, the
// port and the reason. The peer closing or resetting the connection is the line's hang-up.
PRS232_PORT* PRS232_CreateTcp(const char* device);

} // namespace tarq
