// The TCP line on Windows (Winsock), which the serial backend's port carries instead of a
// device handle; each call has the meaning of the PRS232 call of the same name.
#pragma once

#include <cstdint>

namespace tarq {

struct TcpLine;

// Connected to the "tcp://HOST:PORT" in `device`, or nullptr after one line naming the host,
// the port and the reason.
TcpLine* tcpConnect(const char* device);
void tcpClose(TcpLine* line);
int tcpSend(TcpLine* line, const std::uint8_t* data, std::uint32_t n);
// The bytes read (up to want), within the link's read time-outs.
std::uint32_t tcpRecv(TcpLine* line, std::uint8_t* buf, std::uint32_t want);
int tcpWaitInput(TcpLine* line, std::uint32_t ms);
int tcpGone(TcpLine* line);

} // namespace tarq
