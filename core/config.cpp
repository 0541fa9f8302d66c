#include "core/config.h"

#include "core/console.h"
#include "core/context.h"
#include "link/prs232_tcp.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#ifndef TARQ_TRACE_FILE
#define TARQ_TRACE_FILE 0
#endif
#ifndef TARQ_TRACE_CONSOLE
#define TARQ_TRACE_CONSOLE 0
#endif

namespace tarq {
namespace {

constexpr bool kTraceFile = TARQ_TRACE_FILE != 0;
constexpr bool kTraceConsole = TARQ_TRACE_CONSOLE != 0;
constexpr char kLogFile[] = "log.trq";

// Each read takes at most 99 characters; a longer line is read in pieces, each one a line.
constexpr int kPieceSize = 100;
// A DEVICE value line may be longer than one piece; this bounds what is read of it.
constexpr std::size_t kMaxTextLine = 1024;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool isSectionFor(const char* piece, const char* key) {
    const std::size_t keyLen = std::strlen(key);
    const std::size_t len = std::strlen(piece);
    return len > keyLen + 1 && piece[0] == '[' && piece[keyLen + 1] == ']' &&
           std::memcmp(piece + 1, key, keyLen) == 0;
}

enum class Section { Absent, NoValueLine, Found };

// Moves the file to just behind the section line of key and reads the line after it into piece.
Section findSection(std::FILE* f, const char* key, std::array<char, kPieceSize>& piece) {
    while (std::fgets(piece.data(), kPieceSize, f)) {
        if (isSectionFor(piece.data(), key))
            return std::fgets(piece.data(), kPieceSize, f) ? Section::Found : Section::NoValueLine;
    }
    return Section::Absent;
}

// Text-to-integer over at most the 20 value characters (leading blanks, sign, digits);
// `digits`, when given, tells whether there was a number at all.
long valueToLong(const std::array<char, INI_VALUE_SIZE>& area, bool* digits = nullptr) {
    std::array<char, INI_VALUE_SIZE + 1> text{};
    std::copy(area.begin(), area.end(), text.begin());
    char* end = nullptr;
    const long value = std::strtol(text.data(), &end, 10);
    if (digits) *digits = end != text.data();
    return value;
}

// "ReadParameters - error" says only that something failed; this line says what.
void sayWhyNoSpeed(const char* path) {
    const File f(std::fopen(path, "rb"));
    if (!f)
        say("ReadParameters: cannot read %s: %s\n", path, std::strerror(errno));
    else
        say("ReadParameters: no BAUDRATE value in %s\n", path);
}

// A DEVICE value that asks for TCP must name a host and a port.
bool tcpValueUsable(const char* device) {
    return !PRS232_IsTcp(device) || PRS232_ParseTcp(device + std::strlen(TCP_DEVICE_PREFIX));
}

void traceStartUp() {
    if constexpr (kTraceFile) {
        std::FILE* f = std::fopen(kLogFile, "w");
        if (!f) {
            say("The file 'log.trq' was not opened\n");
            return;
        }
        std::fputs(" ", f);
        if (std::fclose(f) != 0) say("The file 'log.trq' was not closed\n");
    }
}

// readIniValue on a file already open.
int readValue(std::FILE* f, char* dest, const char* key, std::size_t size) {
    std::fill_n(dest, size, ' ');
    std::array<char, kPieceSize> line{};
    if (findSection(f, key, line) != Section::Found) return -1;
    // The value starts after the first double quote; only what the line holds is copied.
    const char* quote = std::strchr(line.data(), '"');
    if (quote) {
        const char* start = quote + 1;
        const std::size_t avail = std::strlen(start);
        std::copy_n(start, std::min(avail, size), dest);
    }
    return 0;
}

// CONSOLE "0" turns standard output off. Any other value, one without a number (blank, a
// missing quote), no entry or no readable file leaves it on: only a deliberate 0 silences the
// driver, and never the lines that say why a file cannot be used. Read before the other keys so
// that their lines obey it; then names the file, so that the lines tell which one was used.
void readConsoleSetting(const char* path) {
    const File f(path ? std::fopen(path, "rb") : nullptr);
    std::array<char, INI_VALUE_SIZE> area{};
    bool on = true, digits = false;
    if (f && readValue(f.get(), area.data(), "CONSOLE", area.size()) == 0)
        on = valueToLong(area, &digits) != 0 || !digits;
    setConsoleStdout(on);
    if (f) say("ReadParameters: read %s\n", path);
}

} // namespace

int readIniValue(char* dest, const char* path, const char* key, std::size_t size) {
    const File f(path ? std::fopen(path, "rb") : nullptr);
    if (!f) {
        say("ReadParameters - error\n");
        return -1;
    }
    return readValue(f.get(), dest, key, size);
}

IniText readIniText(std::span<char> dest, const char* path, const char* key) {
    std::fill(dest.begin(), dest.end(), '\0');
    File f(path ? std::fopen(path, "rb") : nullptr);
    if (!f || dest.empty()) return IniText::Missing;
    std::array<char, kPieceSize> piece{};
    const Section section = findSection(f.get(), key, piece);
    if (section == Section::Absent) return IniText::Missing;
    if (section == Section::NoValueLine) return IniText::Unquoted; // a key without its value
    try {
        std::string line = piece.data();
        while (!line.empty() && line.back() != '\n' && line.size() < kMaxTextLine &&
               std::fgets(piece.data(), kPieceSize, f.get()))
            line += piece.data();
        const std::size_t open = line.find('"');
        if (open == std::string::npos) return IniText::Unquoted;
        const std::size_t close = line.find('"', open + 1);
        const std::size_t len = (close == std::string::npos ? line.size() : close) - open - 1;
        // Checked before the quote: a line cut at kMaxTextLine is too long, not unclosed.
        if (len + 1 > dest.size()) return IniText::TooLong; // a cut-off path names another device
        if (close == std::string::npos) return IniText::Unclosed;
        std::copy_n(line.begin() + static_cast<std::ptrdiff_t>(open + 1), len, dest.begin());
        return IniText::Found;
    } catch (const std::bad_alloc&) {
        return IniText::Missing;
    }
}

int ReadParameters() {
    readConsoleSetting(ctx.iniPath.data());
    std::array<char, INI_VALUE_SIZE> area{}; // each read fills it with blanks first
    if (readIniValue(area.data(), ctx.iniPath.data(), "COMPORT", area.size()) == 0) {
        say("ReadParameters %c\n", area[0]);
        ctx.comPort = static_cast<std::uint8_t>(valueToLong(area)); // the low 8 bits
    }
    const int result = readIniValue(area.data(), ctx.iniPath.data(), "BAUDRATE", area.size());
    if (result == 0)
        ctx.baudRate = static_cast<std::int32_t>(valueToLong(area));
    else
        sayWhyNoSpeed(ctx.iniPath.data());
    // Unlike the numbers, the device is not carried over from an earlier read: removing the
    // entry must bring the COMPORT device back. A DEVICE that is there but unusable must not
    // fall back to COMPORT either: that would open another device than the one configured.
    const IniText device = readIniText(ctx.devicePath, ctx.iniPath.data(), "DEVICE");
    const char* problem = device == IniText::TooLong    ? "value longer than 255 characters"
                          : device == IniText::Unclosed ? "value has no closing quote"
                          : device == IniText::Unquoted ? "value has no quotes"
                          : !tcpValueUsable(ctx.devicePath.data()) ? "value is not tcp://HOST:PORT"
                                                                   : nullptr;
    traceStartUp();
    if (problem != nullptr) {
        say("DEVICE in %s: %s\n", ctx.iniPath.data(), problem);
        return -1;
    }
    return result;
}

void writeLog(const char* text, std::int32_t number) {
    if constexpr (kTraceFile) {
        std::FILE* f = std::fopen(kLogFile, "a+");
        if (!f) {
            say("The file 'log.trq' was not opened\n");
        } else {
            std::fprintf(f, "%s %d\n", text, number);
            std::fflush(f);
            if (std::fclose(f) != 0) say("The file 'log.trq' was not closed\n");
        }
    }
    if constexpr (kTraceConsole) say("%s %d\n", text, number);
    (void)text;
    (void)number;
}

} // namespace tarq
