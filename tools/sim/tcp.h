// The simulated terminal behind a TCP port, as a serial device server in raw TCP mode offers it.
#pragma once

#include "tools/sim/terminal.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace tarq::sim {

// Listens on "HOST:PORT" (HOST a name, IPv4 or [IPv6]; port 0: a free one). The listening
// descriptor, with the port in use in `bound`; -1 after a line on standard error.
int listenTcp(const std::string& hostPort, int& bound);
// Serves one connection at a time until stop is set: each connection gets a terminal of its own
// with `config`, and a new connection replaces the one before, as a device server does. Returns
// early when exitOnClose is set and the ECR closed. Does not close listenFd.
void serveTcp(int listenFd, const Config& config, std::FILE* logOut, const std::atomic<bool>& stop);

} // namespace tarq::sim
