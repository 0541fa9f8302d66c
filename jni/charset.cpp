#include "jni/charset.h"

#include "protocol/charset.h"

#include <cstdint>

namespace tarq::javabridge {

namespace {

// The Windows-1252 byte of a UTF-16 unit, or '?' when it has none.
char fromUnit(char16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
    for (unsigned byte = 0x80; byte <= 0x9F; ++byte) {
        if (cp1252ToUnicode(static_cast<std::uint8_t>(byte)) == unit)
            return static_cast<char>(byte);
    }
    return '?';
}

// Decodes one UTF-16 unit from modified UTF-8 at pos and advances pos; malformed bytes decode
// as '?' one byte at a time (what a character without a Windows-1252 form becomes anyway), so
// no input can make the walk stall or overrun.
char16_t nextUnit(std::string_view s, std::size_t& pos) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(pos);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    auto cont = [&](std::size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
    if ((b0 & 0xE0) == 0xC0 && cont(pos + 1)) {
        const auto unit = static_cast<char16_t>(((b0 & 0x1F) << 6) | (byte(pos + 1) & 0x3F));
        pos += 2;
        return unit;
    }
    if ((b0 & 0xF0) == 0xE0 && cont(pos + 1) && cont(pos + 2)) {
        const auto unit = static_cast<char16_t>(
            ((b0 & 0x0F) << 12) | ((byte(pos + 1) & 0x3F) << 6) | (byte(pos + 2) & 0x3F));
        pos += 3;
        return unit;
    }
    ++pos;
    return u'?';
}

bool isHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// The low half of a surrogate pair at pos, which then moves past it; else 0, pos unchanged.
char16_t takeLowSurrogate(std::string_view s, std::size_t& pos) {
    if (pos == s.size()) return 0;
    std::size_t peek = pos;
    const char16_t unit = nextUnit(s, peek);
    if (!isLowSurrogate(unit)) return 0;
    pos = peek;
    return unit;
}

} // namespace

std::string cp1252ToModifiedUtf8(std::string_view cp1252) {
    return cp1252ToUtf8(cp1252, Utf8Form::Modified);
}

std::size_t modifiedUtf8ToCp1252(std::string_view mutf8, std::span<char> dest) {
    std::size_t written = 0;
    std::size_t pos = 0;
    while (pos < mutf8.size() && written + 1 < dest.size()) {
        char16_t unit = nextUnit(mutf8, pos);
        if (isHighSurrogate(unit)) takeLowSurrogate(mutf8, pos); // one '?' for the pair
        if (unit == 0) break; // a zero would end the driver's text here anyway
        dest[written++] = fromUnit(unit);
    }
    dest[written] = '\0';
    return written;
}

bool modifiedUtf8ToUtf8(std::string_view mutf8, std::string& out) {
    out.clear();
    std::size_t pos = 0;
    while (pos < mutf8.size()) {
        const std::size_t start = pos;
        const char16_t unit = nextUnit(mutf8, pos);
        if (unit == 0) return false;
        const char16_t low = isHighSurrogate(unit) ? takeLowSurrogate(mutf8, pos) : 0;
        if (low != 0) {
            const std::uint32_t cp =
                0x10000 + ((std::uint32_t(unit) - 0xD800) << 10) + (std::uint32_t(low) - 0xDC00);
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            continue;
        }
        out.append(mutf8.substr(start, pos - start));
    }
    return true;
}

} // namespace tarq::javabridge
