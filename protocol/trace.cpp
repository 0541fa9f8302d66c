#include "protocol/trace.h"

#include "core/config.h"
#include "core/sa.h"
#include "link/wiretap.h"
#include "protocol/ber.h"
#include "protocol/describe.h"
#include "protocol/tags.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <thread>
#include <vector>

namespace tarq {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct Trace {
    std::FILE* file = nullptr;
    std::string path;
    long maxBytes = TRACE_MAX_KB_DEFAULT * 1024;
    long written = 0;
    SteadyClock::time_point start;
};

Trace trace;
int lastResult = 0;

constexpr std::size_t kCardRecordStart = 53; // the payment record's card fields follow
constexpr std::size_t kPanRunMin = 13;       // shorter digit runs are no card number
constexpr std::uint8_t kHidden = 1;          // card data the decoder masks itself
constexpr std::uint8_t kHiddenText = 2;      // digits of a card number in a text

bool isText(std::uint8_t tag) {
    return tag == PTAG_STATUS1 || tag == PTAG_STATUS2 || tag == PTAG_TERM_RECEIPT ||
           tag == PTAG_TERM_CARDNAME;
}

bool isDigit(std::uint8_t b) {
    return b >= '0' && b <= '9';
}

// Hides what a digit run long enough for a card number holds beyond its first six and last
// four digits.
void hideDigitRuns(std::span<const std::uint8_t> v, std::span<std::uint8_t> hide) {
    std::size_t i = 0;
    while (i < v.size()) {
        if (!isDigit(v[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < v.size() && isDigit(v[end]))
            ++end;
        if (end - i >= kPanRunMin)
            for (std::size_t k = i + 6; k + 4 < end; ++k)
                hide[k] = kHiddenText;
        i = end;
    }
}

// Marks the card data of a BER-TLV message: the track 2 element whole, the payment record's
// card fields, and card numbers in texts.
void markCardData(std::span<const std::uint8_t> m, std::span<std::uint8_t> hide, int depth = 0) {
    std::size_t at = 0;
    while (at + 2 <= m.size() && depth < BER_MAX_DEPTH) {
        const std::uint8_t tag = m[at];
        std::uint32_t length = 0;
        const int lf = BER_checkLength(m.data() + at + 1,
                                       static_cast<std::uint32_t>(m.size() - at - 1), &length);
        if (lf < 0) return;
        const std::size_t value = at + 1 + static_cast<std::size_t>(lf);
        if (value + length > m.size()) return;
        const auto v = m.subspan(value, length);
        const auto h = hide.subspan(value, length);
        if (tag & 0x20) {
            markCardData(v, h, depth + 1);
        } else if (tag == PTAG_TERM_CARD) {
            std::fill(h.begin(), h.end(), kHidden);
        } else if ((tag == PTAG_NORTRANS || tag == PTAG_NORTRANS_CARD) &&
                   length > kCardRecordStart) {
            std::fill(h.begin() + kCardRecordStart, h.end(), kHidden);
        } else if (isText(tag)) {
            hideDigitRuns(v, h);
        }
        at = value + length;
    }
}

void appendHex(std::string& out, std::uint8_t b) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
}

// "02 00 E1 .. 03 CRC CRC | decoded": the frame as written, each card data byte (with its
// escape) shown as "**", and the checksum too when it covers card data.
std::string describeFrame(const std::uint8_t* f, std::uint32_t n) {
    if (n < 5) return "(short frame)";
    std::vector<std::uint8_t> data;
    std::vector<std::uint32_t> wireAt; // where each data byte starts on the wire
    for (std::uint32_t i = 2; i + 3 < n; ++i) {
        wireAt.push_back(i);
        if (f[i] == 0x10 && i + 4 < n) ++i;
        data.push_back(f[i]);
    }
    std::vector<std::uint8_t> hide(data.size(), 0);
    markCardData(data, hide);
    bool anyHidden = false;
    std::string hex;
    appendHex(hex, f[0]);
    appendHex(hex, f[1]);
    for (std::size_t k = 0; k < data.size(); ++k) {
        if (hide[k]) {
            hex += " **";
            anyHidden = true;
            // The decoder masks the card elements itself; digits in texts are masked here.
            if (hide[k] == kHiddenText) data[k] = '*';
            continue;
        }
        for (std::uint32_t i = wireAt[k]; i < (k + 1 < data.size() ? wireAt[k + 1] : n - 3); ++i)
            appendHex(hex, f[i]);
    }
    appendHex(hex, f[n - 3]);
    if (anyHidden) {
        hex += " ** **";
    } else {
        appendHex(hex, f[n - 2]);
        appendHex(hex, f[n - 1]);
    }
    return hex + " | " + describeMessage(data, DescribeOptions{true});
}

const char* stateName(int s) {
    static constexpr std::array<const char*, SA_NUM_STATES> kNames = {
        "IDLE",          "OPEN",         "MI",
        "MI_CU",         "MI_CU_AMOUNT", "MI_CU_AMOUNT_CARDSWIPE",
        "CARDSWIPE",     "MI_CARDSWIPE", "MI_CU_CARDSWIPE",
        "TERM_NOT_READY"};
    return s >= 0 && s < SA_NUM_STATES ? kNames[static_cast<std::size_t>(s)] : "?";
}

void stop() {
    tapSink = nullptr;
    if (trace.file) std::fclose(trace.file);
    trace.file = nullptr;
}

void rotate() {
    std::fclose(trace.file);
    const std::string old = trace.path + ".1";
    std::remove(old.c_str());
    std::rename(trace.path.c_str(), old.c_str());
    trace.file = std::fopen(trace.path.c_str(), "w");
    trace.written = 0;
    if (!trace.file) {
        stop();
        std::printf("Trace file %s could not be written: trace off\n", trace.path.c_str());
        std::fflush(stdout);
    }
}

// One line: milliseconds since the trace started, then the text. Flushed at once, so that a
// crash loses nothing.
void writeLine(const std::string& text) {
    if (!trace.file) return;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - trace.start);
    const int n =
        std::fprintf(trace.file, "%8lld %s\n", static_cast<long long>(ms.count()), text.c_str());
    if (n < 0 || std::fflush(trace.file) != 0) {
        const std::string path = trace.path;
        stop();
        std::printf("Trace file %s could not be written: trace off\n", path.c_str());
        std::fflush(stdout);
        return;
    }
    trace.written += n;
    if (trace.written >= trace.maxBytes) rotate();
}

std::string printf2(const char* format, int a, int b = 0) {
    std::array<char, 64> buf{};
    std::snprintf(buf.data(), buf.size(), format, a, b);
    return buf.data();
}

void sink(TapEvent event, const std::uint8_t* b, std::uint32_t n, int number) {
    try {
        switch (event) {
        case TapEvent::FrameOut:
            writeLine((number > 1 ? printf2("> frame %02X (sent %d times): ", b[1], number)
                                  : printf2("> frame %02X: ", b[1])) +
                      describeFrame(b, n));
            break;
        case TapEvent::FrameAcked:
            // The ACK has just been written; on a pseudo-terminal (and some serial drivers) it
            // is delivered by kernel work queued on this processor, so give that its turn first.
            std::this_thread::yield();
            writeLine(printf2("< frame %02X: ", n > 1 ? b[1] : 0) + describeFrame(b, n));
            writeLine(printf2("> ACK %02X", number));
            break;
        case TapEvent::FrameHeld:
            writeLine(printf2("< frame %02X: ", n > 1 ? b[1] : 0) + describeFrame(b, n));
            writeLine("> WACK (frame held until the last one is taken)");
            break;
        case TapEvent::FrameBad:
            writeLine(std::string("< bad frame (") + frameFaultName(number) + ")");
            writeLine("> NAK");
            break;
        case TapEvent::AckIn:
            writeLine(printf2("< ACK %02X", number));
            break;
        case TapEvent::NakIn:
            writeLine("< NAK");
            break;
        case TapEvent::WackIn:
            writeLine("< WACK");
            break;
        case TapEvent::AckTimeout:
            writeLine(
                printf2("link time-out: no answer after %d sending(s), sending again", number));
            break;
        case TapEvent::GaveUp:
            writeLine(printf2("link gave up after %d sendings", number));
            break;
        case TapEvent::State:
            if (n == 3)
                writeLine(std::string("state ") + stateName(b[0]) + " --event " +
                          std::to_string(b[1]) + "--> " + stateName(b[2]));
            break;
        case TapEvent::Display: {
            // Texts are cut at a control byte; card numbers never reach the display, but are
            // hidden here too should a terminal show one.
            std::vector<std::uint8_t> text(b, b + n);
            std::vector<std::uint8_t> hide(n, 0);
            hideDigitRuns(text, hide);
            std::string line = "display \"";
            for (std::uint32_t i = 0; i < n; ++i) {
                if (i == n / 2) line += "\" \"";
                const std::uint8_t c = hide[i] ? '*' : text[i];
                line += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
            }
            writeLine(line + "\"");
            break;
        }
        }
    } catch (...) {
        // No memory for a line: the line is lost, the payment goes on.
    }
}

bool isAbsolute(const char* p) {
    return p[0] == '/' || p[0] == '\\' || (p[0] != '\0' && p[1] == ':');
}

} // namespace

void traceOpen(const char* iniPath) {
    stop();
    std::array<char, 512> name{};
    if (!iniPath) return;
    const IniText read = readIniText(name, iniPath, "TRACE");
    if (read == IniText::TooLong || read == IniText::Unclosed) {
        std::printf("TRACE in %s: unusable file name, trace off\n", iniPath);
        std::fflush(stdout);
        return;
    }
    if (read != IniText::Found || name[0] == '\0') return;
    std::array<char, INI_VALUE_SIZE> area{};
    area.fill(' ');
    long maxKb = TRACE_MAX_KB_DEFAULT;
    if (readIniValue(area.data(), iniPath, "TRACEMAX", area.size()) == 0) {
        const long v = std::strtol(std::string(area.begin(), area.end()).c_str(), nullptr, 10);
        if (v > 0) maxKb = v;
    }
    trace.path = name.data();
    if (!isAbsolute(name.data())) {
        const std::string ini = iniPath;
        const std::size_t slash = ini.find_last_of("/\\");
        if (slash != std::string::npos) trace.path = ini.substr(0, slash + 1) + trace.path;
    }
    trace.maxBytes = maxKb * 1024;
    trace.file = std::fopen(trace.path.c_str(), "a");
    if (!trace.file) {
        std::printf("Trace file %s could not be opened: trace off\n", trace.path.c_str());
        std::fflush(stdout);
        return;
    }
    std::fseek(trace.file, 0, SEEK_END);
    trace.written = std::ftell(trace.file);
    trace.start = SteadyClock::now();
    const auto wall = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(wall);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()) % 1000;
    std::tm tm{};
    if (const std::tm* local = std::localtime(&secs)) tm = *local; // one thread: no race
    std::array<char, 64> stamp{};
    std::strftime(stamp.data(), stamp.size(), "%Y-%m-%d %H:%M:%S", &tm);
    tapSink = sink;
    writeLine(std::string("trace started ") + stamp.data() +
              printf2(".%03d, limit %d KB", static_cast<int>(ms.count()), static_cast<int>(maxKb)));
}

void traceClose() {
    stop();
}

bool traceActive() {
    return tapSink == sink;
}

std::string maskCardNumber(const char* text) {
    std::string out = text ? text : "";
    std::size_t digits = 0;
    for (const char c : out)
        digits += isDigit(static_cast<std::uint8_t>(c)) ? 1 : 0;
    std::size_t seen = 0;
    for (char& c : out) {
        if (!isDigit(static_cast<std::uint8_t>(c))) continue;
        // Short entries show nothing: first six and last four would be all of it.
        if (digits < kPanRunMin || (seen >= 6 && seen + 4 < digits)) c = '*';
        ++seen;
    }
    return out;
}

void noteCallResult(int result) {
    lastResult = result;
}

TraceCall::TraceCall(const char* name, std::initializer_list<TraceArg> args, bool returns)
    : name_(name), returns_(returns) {
    if (!traceActive()) return;
    try {
        std::string line = std::string("call ") + name + "(";
        bool first = true;
        for (const TraceArg& a : args) {
            if (!first) line += ", ";
            first = false;
            switch (a.kind) {
            case TraceArg::Kind::Int:
                line += std::to_string(a.number);
                break;
            case TraceArg::Kind::Char:
                line += a.number >= 0x20 && a.number < 0x7F
                            ? printf2("'%c'", static_cast<int>(a.number))
                            : printf2("'\\x%02X'", static_cast<int>(a.number));
                break;
            case TraceArg::Kind::Text:
                line += a.text ? "\"" + std::string(a.text, strnlen(a.text, 64)) + "\"" : "NULL";
                break;
            case TraceArg::Kind::Pan:
                line += a.text
                            ? "\"" +
                                  maskCardNumber(std::string(a.text, strnlen(a.text, 32)).c_str()) +
                                  "\""
                            : "NULL";
                break;
            case TraceArg::Kind::Secret:
                line += a.text ? "\"" + std::string(strnlen(a.text, 32), '*') + "\"" : "NULL";
                break;
            }
        }
        writeLine(line + ")");
    } catch (...) {
    }
}

TraceCall::~TraceCall() {
    if (!traceActive()) return;
    try {
        writeLine(returns_ ? std::string("= ") + name_ + " " + std::to_string(lastResult)
                           : std::string("= ") + name_ + " done");
    } catch (...) {
    }
}

} // namespace tarq
