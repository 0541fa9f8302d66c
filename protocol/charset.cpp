#include "protocol/charset.h"

#include <array>

namespace tarq {

namespace {

// Windows-1252 bytes 0x80..0x9F as UTF-16; the undefined five keep their own value.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

char16_t cp1252ToUnicode(std::uint8_t byte) {
    if (byte >= 0x80 && byte <= 0x9F) return kHigh[byte - 0x80];
    return byte;
}

void appendUtf8(std::string& out, char16_t unit, Utf8Form form) {
    const bool twoByteZero = unit == 0 && form == Utf8Form::Modified;
    if (unit < 0x80 && !twoByteZero) {
        out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
        out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
        out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
}

std::string cp1252ToUtf8(std::string_view cp1252, Utf8Form form) {
    std::string out;
    out.reserve(cp1252.size() * 3);
    for (char c : cp1252) {
        if (c == '\0') break;
        appendUtf8(out, cp1252ToUnicode(static_cast<std::uint8_t>(c)), form);
    }
    return out;
}

} // namespace tarq
