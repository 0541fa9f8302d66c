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

// A digit run: where it ends and how many digits it holds.
struct Run {
    std::size_t end;
    std::size_t digits;
};

// The digit run starting at `at`, single separators between digits included. A date or time
// after a card number is not taken into it.
Run runAt(std::span<const std::uint8_t> t, std::size_t at) {
    Run r{at, 0};
    while (r.end < t.size()) {
        if (isDigit(t[r.end])) {
            ++r.digits;
            ++r.end;
        } else if (isGroupSeparator(t[r.end]) && r.end + 1 < t.size() && isDigit(t[r.end + 1]) &&
                   !datePart(t, r.end + 1)) {
            ++r.end;
        } else {
            break;
        }
    }
    return r;
}

// Whether the digits at `at` end a date, a time or an amount ("28" of "12/28", "30" of
// "12:30"): one or two digits after '/', ':' or '.' that follows a digit.
bool dateTail(std::span<const std::uint8_t> t, std::size_t at) {
    if (at < 2 || !isDigit(t[at - 2])) return false;
    if (t[at - 1] != '/' && t[at - 1] != ':' && t[at - 1] != '.') return false;
    std::size_t digits = 0;
    while (at + digits < t.size() && isDigit(t[at + digits]))
        ++digits;
    return digits <= 2;
}

// Calls `found(start, end, digits)` for each card number in the text. None starts in the end
// of a date: a card number after "12/28 " would take the year in and leave the date readable.
template <typename Found> void eachCardNumber(std::span<const std::uint8_t> t, Found&& found) {
    std::size_t i = 0;
    while (i < t.size()) {
        if (!isDigit(t[i])) {
            ++i;
            continue;
        }
        if (dateTail(t, i)) {
            while (i < t.size() && isDigit(t[i]))
                ++i;
            continue;
        }
        const Run r = runAt(t, i);
        if (r.digits >= kPanMin) found(i, r.end, r.digits);
        i = r.end;
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
    // Each place that starts a group; at the line's start i - 1 wraps to beyond the line.
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (!boundary(i - 1)) continue;
        std::size_t n = 0;
        while (digitAt(i + n))
            ++n;
        // Two digits, a separator, two digits: the separator is in the line when i + 3 is.
        const bool slashed = n == 2 && digitAt(i + 3) &&
                             (line[i + 2] == '/' || line[i + 2] == '-') && digitAt(i + 4) &&
                             !digitAt(i + 5);
        if (slashed) {
            hide[i] = hide[i + 1] = hide[i + 3] = hide[i + 4] = true;
        } else if (n == 4 && boundary(i + 4)) {
            std::fill(hide.begin() + static_cast<std::ptrdiff_t>(i),
                      hide.begin() + static_cast<std::ptrdiff_t>(i + 4), true);
        }
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
    while (!text.empty()) {
        const auto n =
            static_cast<std::size_t>(std::find(text.begin(), text.end(), '\n') - text.begin());
        if (expiryMayBeOn(text.first(n))) hideDates(text.first(n), hide.first(n));
        const std::size_t next = std::min(n + 1, text.size()); // the line and its '\n'
        text = text.subspan(next);
        hide = hide.subspan(next);
    }
}

std::string maskCardNumbers(std::string_view text) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size());
    std::string out(text);
    // std::vector<bool> has no span
    const std::unique_ptr<bool[]> flags(new bool[text.size()]());
    markCardNumbers(bytes, std::span<bool>(flags.get(), text.size()));
    std::transform(out.begin(), out.end(), flags.get(), out.begin(),
                   [](char c, bool hidden) { return hidden ? '*' : c; });
    return out;
}

} // namespace tarq
