// Configuration file tarqRS.ini beside the library, and the switched-off trace log.trq.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarq {

inline constexpr std::size_t INI_VALUE_SIZE = 20;

// Reads COMPORT, BAUDRATE and DEVICE from ctx.iniPath. 0 when the setting needed to open the
// line was read, -1 otherwise.
int ReadParameters();
// Finds "[key]" and copies `size` bytes of the next line after its first double quote into dest
// (blank-filled first). 0 found, -1 not found or file not readable.
int readIniValue(char* dest, const char* path, const char* key, std::size_t size);
void writeLog(const char* text, std::int32_t number);

// Fills ctx.iniPath with the configuration file beside the library. 1 built, 0 failure.
int getDriverDll();

} // namespace tarq
