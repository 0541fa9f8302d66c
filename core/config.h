// Configuration file tarqRS.ini beside the library (on Linux else in /etc), and the
// switched-off trace log.trq.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tarq {

inline constexpr std::size_t INI_VALUE_SIZE = 20;
inline constexpr char INI_FILE_NAME[] = "tarqRS.ini";

// Reads COMPORT, BAUDRATE and DEVICE from ctx.iniPath. 0 when BAUDRATE was read, -1 otherwise;
// also -1 when DEVICE is there but cannot be used. Each failure adds one line saying why.
int ReadParameters();
// Finds "[key]" and copies up to `size` bytes of the next line after its first double quote into
// dest (blank-filled first; nothing beyond the line is copied). 0 found, -1 not found or file not
// readable ("ReadParameters - error" is printed for the latter).
int readIniValue(char* dest, const char* path, const char* key, std::size_t size);
enum class IniText { Found, Missing, TooLong, Unclosed, Unquoted };
// Finds "[key]" and stores the text between the first pair of double quotes of the next line,
// terminated, in dest. Silent. Missing: no such entry. TooLong, Unclosed and Unquoted (no quote
// on the value line, or no value line) are values that cannot be used. dest is empty unless Found;
// "" is Found.
IniText readIniText(std::span<char> dest, const char* path, const char* key);
void writeLog(const char* text, std::int32_t number);

// Fills ctx.iniPath with the configuration file beside the library. 1 built, 0 failure.
int getDriverDll();
// Where the configuration is looked for on Linux when there is none beside the library.
inline constexpr char SYSTEM_INI_PATH[] = "/etc/tarqdriver/tarqRS.ini";
// Fills ctx.iniPath with the configuration file in the directory of `libraryFile`, or with
// `fallback` when nothing by that name is there and the fallback is. 1 built, 0 when the path
// does not fit (a cut path would name another file).
int setIniPathBeside(std::string_view libraryFile, const char* fallback = nullptr);

} // namespace tarq
