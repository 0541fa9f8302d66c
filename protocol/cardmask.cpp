#include "protocol/cardmask.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <vector>

namespace tarq {
namespace {

constexpr std::size_t kPanMin = 13;   // shorter digit runs are no card number
constexpr std::size_t kPanMax = 19;   // longer ones keep only their first six digits
constexpr std::size_t kMaskedRun = 4; // "****": a card number masked before it got here

bool isDigit(std::uint8_t b) {
    return b >= '0' && b <= '9';
}

bool isGroupSeparator(std::uint8_t b) {
    return b == ' ' || b == '-';
}

// A group of digits that starts at `at` and belongs to a date or a time ("12/28", "12:30").
bool datePart(std::span<const std::uint8_t> t, std::size_t at) {
    while (at < t.size() && isDigit(t[at]))
        ++at;
    return at < t.size() && (t[at] == '/' || t[at] == ':' || t[at] == '.');
}

// The end of the digit run starting at `at`, single separators between digits included, and
// the number of digits in it. A date or time after a card number is not taken into it.
std::size_t runEnd(std::span<const std::uint8_t> t, std::size_t at, std::size_t& digits) {
    digits = 0;
    std::size_t end = at;
    while (end < t.size()) {
        if (isDigit(t[end])) {
            ++digits;
            ++end;
        } else if (isGroupSeparator(t[end]) && end + 1 < t.size() && isDigit(t[end + 1]) &&
                   !datePart(t, end + 1)) {
            ++end;
        } else {
            break;
        }
    }
    return end;
}

// Calls `found(start, end, digits)` for each card number in the text.
template <typename Found> void eachCardNumber(std::span<const std::uint8_t> t, Found&& found) {
    std::size_t i = 0;
    while (i < t.size()) {
        if (!isDigit(t[i])) {
            ++i;
            continue;
        }
        std::size_t digits = 0;
        const std::size_t end = runEnd(t, i, digits);
        if (digits >= kPanMin) found(i, end, digits);
        i = end;
    }
}

bool hasExpiryLabel(std::span<const std::uint8_t> line) {
    static constexpr std::array<std::string_view, 4> kLabels = {"EXP", "UTL", "GYLDIG", "VALID"};
    std::string upper(line.begin(), line.end());
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return std::any_of(kLabels.begin(), kLabels.end(), [&](std::string_view label) {
        return upper.find(label) != std::string::npos;
    });
}

// A line that names an expiry date or shows a card number, masked or not.
bool expiryMayBeOn(std::span<const std::uint8_t> line) {
    bool card = false;
    eachCardNumber(line, [&](std::size_t, std::size_t, std::size_t) { card = true; });
    const std::array<std::uint8_t, kMaskedRun> stars{'*', '*', '*', '*'};
    return card || hasExpiryLabel(line) ||
           std::search(line.begin(), line.end(), stars.begin(), stars.end()) != line.end();
}

// Hides "MM/YY", "MM-YY" and a lone "MMYY" on the line; the digits at the end of a card
// number are no date.
void hideDates(std::span<const std::uint8_t> line, std::span<bool> hide) {
    std::vector<bool> card(line.size(), false);
    eachCardNumber(line, [&](std::size_t start, std::size_t end, std::size_t) {
        std::fill(card.begin() + static_cast<std::ptrdiff_t>(start),
                  card.begin() + static_cast<std::ptrdiff_t>(end), true);
    });
    const auto digitAt = [&](std::size_t k) {
        return k < line.size() && isDigit(line[k]) && !card[k];
    };
    const auto boundary = [&](std::size_t k) { // a place no card number's digits touch
        return k >= line.size() || (!isDigit(line[k]) && line[k] != '*');
    };
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (!digitAt(i) || (i > 0 && !boundary(i - 1))) continue;
        std::size_t n = 0;
        while (digitAt(i + n))
            ++n;
        const bool slashed = n == 2 && i + 2 < line.size() &&
                             (line[i + 2] == '/' || line[i + 2] == '-') && digitAt(i + 3) &&
                             digitAt(i + 4) && !digitAt(i + 5);
        if (slashed) {
            hide[i] = hide[i + 1] = hide[i + 3] = hide[i + 4] = true;
        } else if (n == 4 && boundary(i + 4)) {
            std::fill(hide.begin() + static_cast<std::ptrdiff_t>(i),
                      hide.begin() + static_cast<std::ptrdiff_t>(i + 4), true);
        }
        i += n;
    }
}

} // namespace

void markCardNumbers(std::span<const std::uint8_t> text, std::span<bool> hide) {
    eachCardNumber(text, [&](std::size_t start, std::size_t end, std::size_t digits) {
        const std::size_t keepLast = digits <= kPanMax ? 4 : 0;
        std::size_t seen = 0;
        for (std::size_t k = start; k < end; ++k) {
            if (!isDigit(text[k])) continue;
            if (seen >= 6 && seen + keepLast < digits) hide[k] = true;
            ++seen;
        }
        // Track 2: the separator and all after it (expiry, service code, issuer's data).
        if (end < text.size() && (text[end] == '=' || text[end] == 'D'))
            for (std::size_t k = end + 1; k < text.size() && isDigit(text[k]); ++k)
                hide[k] = true;
    });
}

void markExpiryDates(std::span<const std::uint8_t> text, std::span<bool> hide) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = start;
        while (end < text.size() && text[end] != '\n')
            ++end;
        const auto line = text.subspan(start, end - start);
        if (expiryMayBeOn(line)) hideDates(line, hide.subspan(start, end - start));
        start = end + 1;
    }
}

std::string maskCardNumbers(std::string_view text) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size());
    std::string out(text);
    // std::vector<bool> has no span
    const std::unique_ptr<bool[]> flags(new bool[text.size()]());
    markCardNumbers(bytes, std::span<bool>(flags.get(), text.size()));
    for (std::size_t i = 0; i < text.size(); ++i)
        if (flags[i]) out[i] = '*';
    return out;
}

} // namespace tarq
