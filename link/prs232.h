// The serial port: one internal interface, one backend file per platform.
#pragma once

#include <cstdint>

namespace tarq {

// Backend-defined record; created by PRS232_Create, destroyed by PRS232_Delete.
struct PRS232_PORT;

// Opens the port for 8N1 at `baud` with the read/write time-out model of the link.
// `device`, when non-null and non-empty, names the device and takes precedence over `port`.
// Returns nullptr on any failure; prints "PRS232_Create:INVALID_HANDLE_VALUE:-1" when the
// device cannot be opened.
PRS232_PORT* PRS232_Create(std::uint8_t port, std::uint32_t baud, const char* device = nullptr);
// Restores the saved line settings, closes the device, frees the record, sets *port to null.
void PRS232_Delete(PRS232_PORT** port);
// 1 when all n bytes were written within the write bound, else 0.
int PRS232_Send(PRS232_PORT* port, const std::uint8_t* data, std::uint32_t n);
// Waits up to `ms` for input without taking any: 0 when the line stayed silent, 1 when input
// may be waiting (a backend without such a wait always says 1, and the caller simply reads).
// Lets a caller sleep through a long silence in one wait instead of many read time-outs.
int PRS232_WaitInput(PRS232_PORT* port, std::uint32_t ms);
// Reads up to *n bytes (the request); *n returns the bytes actually read.
// 1 when exactly the requested count arrived, else 0.
int PRS232_Recv(PRS232_PORT* port, std::uint8_t* buf, std::uint32_t* n);

} // namespace tarq
