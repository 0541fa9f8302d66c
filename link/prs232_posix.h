// POSIX-only additions to the serial port: wrapping a descriptor that is already open (the
// terminal simulator runs the link on a pseudo-terminal master) and the port-number rule.
#pragma once

#include "link/prs232.h"

#include <cstdint>
#include <string>

namespace tarq {

// Wraps an open descriptor as a port with the same read and write time-outs. Takes ownership:
// PRS232_Delete closes it. The line settings are left as they are (on a pseudo-terminal master
// they belong to the slave side); the descriptor is switched to non-blocking mode.
// Returns nullptr (and closes nothing) when fd is negative.
PRS232_PORT* PRS232_Adopt(int fd);
// The same for a connected TCP socket: written without SIGPIPE, and the end of the stream or a
// reset is the line's hang-up.
PRS232_PORT* PRS232_AdoptSocket(int fd);

// The device for a port number: n >= 1 is /dev/ttyS<n-1> (COM1 is /dev/ttyS0); 0 has none and
// gives an empty string.
std::string PRS232_DeviceName(std::uint8_t port);

} // namespace tarq
