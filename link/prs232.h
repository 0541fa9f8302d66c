// The serial port: one internal interface, one backend file per platform.
#pragma once

#include <cstdint>

namespace tarq {

// The link's time model, the same on every platform. A read ends READ_INTERVAL_MS after the last
// byte, or at the latest READ_TOTAL_MS plus READ_PER_BYTE_MS per requested byte after it began;
// a write of n bytes may take WRITE_TOTAL_MS plus WRITE_PER_BYTE_MS per byte.
inline constexpr std::uint32_t READ_INTERVAL_MS = 2;
inline constexpr std::uint32_t READ_TOTAL_MS = 40;
inline constexpr std::uint32_t READ_PER_BYTE_MS = 1;
inline constexpr std::uint32_t WRITE_TOTAL_MS = 40;
inline constexpr std::uint32_t WRITE_PER_BYTE_MS = 2;

// Backend-defined record; created by PRS232_Create, destroyed by PRS232_Delete.
struct PRS232_PORT;

// Opens the port for 8N1 at `baud` with the read/write time-out model of the link.
// `device`, when non-null and non-empty, names the device and takes precedence over `port`.
// Returns nullptr on any failure; prints "PRS232_Create:INVALID_HANDLE_VALUE:-1" when the
// device cannot be opened.
PRS232_PORT* PRS232_Create(std::uint8_t port, std::uint32_t baud, const char* device = nullptr);
// Restores the saved line settings, closes the device, frees the record, sets *port to null.
void PRS232_Delete(PRS232_PORT** port);
// 1 when all n bytes were written within the write bound, else 0. Nothing to write (n 0) is 1;
// a null port or null data with bytes to write is 0.
int PRS232_Send(PRS232_PORT* port, const std::uint8_t* data, std::uint32_t n);
// Waits up to `ms` for input without taking any: 0 when the line stayed silent, 1 when input
// may be waiting (a backend without such a wait always says 1, and the caller simply reads).
// Lets a caller sleep through a long silence in one wait instead of many read time-outs.
int PRS232_WaitInput(PRS232_PORT* port, std::uint32_t ms);
// Reads up to *n bytes (the request); *n returns the bytes actually read.
// 1 when exactly the requested count arrived, else 0. A null n is 0; a request of 0 bytes is 1;
// a null port or null buffer with bytes to read is 0 with *n 0.
int PRS232_Recv(PRS232_PORT* port, std::uint8_t* buf, std::uint32_t* n);
// 1 when the line hung up or failed: known from an earlier call, or seen now without reading
// from it (a hang-up, the end of a TCP stream, a reset, a device that is gone); else 0. A null
// port is gone.
int PRS232_Gone(PRS232_PORT* port);

} // namespace tarq
