#include "protocol/trace.h"

#include "core/config.h"
#include "core/console.h"
#include "core/sa.h"
#include "link/wipe.h"
#include "link/wiretap.h"
#include "protocol/ber.h"
#include "protocol/cardmask.h"
#include "protocol/charset.h"
#include "protocol/describe.h"
#include "protocol/tags.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <span>
#include <thread>
#include <vector>

namespace tarq {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct Trace {
    std::FILE* file = nullptr;
    std::string path;
    long long maxBytes = TRACE_MAX_KB_DEFAULT * 1024;
    long long written;    // set wherever a file is opened
    bool rotates = false; // only a file of its own: a device or a link is never renamed
    SteadyClock::time_point start;
};

Trace trace;
int lastResult = 0;

constexpr long long kTraceMaxKb = 1048576;   // 1 GB
constexpr std::size_t kPanMin = 13;          // fewer digits are no card number
constexpr std::size_t kCardRecordStart = 53; // the payment record's card fields follow
constexpr std::size_t kHostDataAt = 13, kHostDataSize = 40;
constexpr std::uint8_t kHidden = 1;     // card data the decoder masks itself
constexpr std::uint8_t kHiddenText = 2; // digits of a card number or expiry in a text

// Flags, for each byte of a text, whether it belongs to a card number or an expiry date.
std::vector<std::uint8_t> cardMarks(std::span<const std::uint8_t> text) {
    const std::unique_ptr<bool[]> flags(new bool[text.size()]()); // vector<bool> has no span
    const std::span<bool> f(flags.get(), text.size());
    markCardNumbers(text, f);
    markExpiryDates(text, f);
    std::vector<std::uint8_t> marks(text.size(), 0);
    for (std::size_t i = 0; i < text.size(); ++i)
        marks[i] = f[i] ? kHiddenText : 0;
    return marks;
}

void hideCardText(std::span<const std::uint8_t> v, std::span<std::uint8_t> hide) {
    const std::vector<std::uint8_t> marks = cardMarks(v);
    for (std::size_t i = 0; i < v.size(); ++i)
        hide[i] = std::max(hide[i], marks[i]);
}

// Marks the card data of a BER-TLV message: the track 2 element whole, the payment record's
// card fields, and card numbers and expiry dates in texts (and in any other value). False when the
// message cannot be walked to its end: what it holds is then unknown.
bool markCardData(std::span<const std::uint8_t> m, std::span<std::uint8_t> hide, int depth = 0) {
    if (depth >= BER_MAX_DEPTH) return false;
    std::size_t at = 0;
    while (at < m.size()) {
        const std::uint8_t tag = m[at];
        std::uint32_t length = 0;
        const int lf = at + 1 < m.size()
                           ? BER_checkLength(m.data() + at + 1,
                                             static_cast<std::uint32_t>(m.size() - at - 1), &length)
                           : -1;
        if (lf < 0) return false;
        const std::size_t value = at + 1 + static_cast<std::size_t>(lf);
        if (value + length > m.size()) return false;
        const auto v = m.subspan(value, length);
        const auto h = hide.subspan(value, length);
        if (tag & 0x20) {
            if (!markCardData(v, h, depth + 1)) return false;
        } else if (tag == PTAG_TERM_CARD) {
            std::fill(h.begin(), h.end(), kHidden);
        } else if (tag == PTAG_NORTRANS || tag == PTAG_NORTRANS_CARD) {
            if (length > kCardRecordStart)
                std::fill(h.begin() + kCardRecordStart, h.end(), kHidden);
            // The host data may hold a card number; the 4 bytes of POS data before it hold
            // neither one nor a date with what marks it as an expiry.
            if (length >= kCardRecordStart)
                hideCardText(v.subspan(kHostDataAt, kHostDataSize),
                             h.subspan(kHostDataAt, kHostDataSize));
        } else {
            hideCardText(v, h); // texts, and digits in any other value too
        }
        at = value + length;
    }
    return true;
}

// A text of the till or the terminal (Windows-1252) as the trace shows it: up to its first
// zero byte, card numbers and expiry dates masked, in UTF-8, other control bytes as \xNN.
std::string traceText(std::span<const std::uint8_t> text) {
    const std::size_t n = static_cast<std::size_t>(
        std::find(text.begin(), text.end(), std::uint8_t{0}) - text.begin());
    const auto t = text.first(n);
    const std::vector<std::uint8_t> marks = cardMarks(t);
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t c = marks[i] ? u'*' : cp1252ToUnicode(t[i]);
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            std::array<char, 8> esc{};
            std::snprintf(esc.data(), esc.size(), "\\x%02X", static_cast<unsigned>(t[i]));
            out += esc.data();
        } else {
            appendUtf8(out, c, Utf8Form::Standard);
        }
    }
    return out;
}

void appendHex(std::string& out, std::uint8_t b) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
}

// Clears a copy of frame data once it has been formatted: it may hold card data.
struct WipeOnExit {
    std::vector<std::uint8_t>& bytes;
    ~WipeOnExit() { wipeBytes(bytes.data(), bytes.size()); }
};

// "02 00 E1 .. 03 CRC CRC | decoded": the frame as written, each card data byte (with its
// escape) shown as "**", and the checksum too when it covers card data. A message that cannot
// be walked is hidden whole.
std::string describeFrame(const std::uint8_t* f, std::uint32_t n) {
    if (n < 5) return "(short frame)";
    std::vector<std::uint8_t> data;
    const WipeOnExit wipe{data};
    std::vector<std::uint32_t> wireAt; // where each data byte starts on the wire
    data.reserve(n);
    for (std::uint32_t i = 2; i + 3 < n; ++i) {
        wireAt.push_back(i);
        if (f[i] == 0x10 && i + 4 < n) ++i;
        data.push_back(f[i]);
    }
    std::vector<std::uint8_t> hide(data.size(), 0);
    const bool walked = markCardData(data, hide);
    if (!walked) std::fill(hide.begin(), hide.end(), kHidden);
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
    return hex + " | " +
           (walked ? describeMessage(data, DescribeOptions{true}) : "(unreadable message: hidden)");
}

const char* stateName(int s) {
    static constexpr std::array<const char*, SA_NUM_STATES> kNames = {
        "IDLE",          "OPEN",         "MI",
        "MI_CU",         "MI_CU_AMOUNT", "MI_CU_AMOUNT_CARDSWIPE",
        "CARDSWIPE",     "MI_CARDSWIPE", "MI_CU_CARDSWIPE",
        "TERM_NOT_READY"};
    return s >= 0 && s < SA_NUM_STATES ? kNames[static_cast<std::size_t>(s)] : "?";
}

// By name: the numbers are the table's own. A case per event, so two events given one number
// cannot build.
std::string eventName(int e) {
    // clang-format off
    switch (e) {
    case PEVENT_OPEN: return "OPEN";
    case PEVENT_CLOSE: return "CLOSE";
    case PEVENT_MI: return "MI";
    case PEVENT_AMOUNT: return "AMOUNT";
    case PEVENT_CARDSWIPE: return "CARDSWIPE";
    case PEVENT_RECEIPT: return "RECEIPT";
    case PEVENT_CONFIRM: return "CONFIRM";
    case PEVENT_ABORT: return "ABORT";
    case PEVENT_STATUS: return "STATUS";
    case PEVENT_RECEIPT_FINAL: return "RECEIPT_FINAL";
    case PEVENT_SPARE_13: return "SPARE_13";
    case PEVENT_SPARE_14: return "SPARE_14";
    case PEVENT_SPARE_15: return "SPARE_15";
    case PEVENT_SPARE_16: return "SPARE_16";
    case PEVENT_IDLE: return "IDLE";
    case PEVENT_SPARE_18: return "SPARE_18";
    case PEVENT_VERSIG_ASK: return "VERSIG_ASK";
    case PEVENT_SPARE_20: return "SPARE_20";
    case PEVENT_SPARE_21: return "SPARE_21";
    case PEVENT_SPARE_22: return "SPARE_22";
    case PEVENT_CURRENCYCODE: return "CURRENCYCODE";
    case PEVENT_CARDNAME: return "CARDNAME";
    case PEVENT_ADMIN: return "ADMIN";
    case PEVENT_OKPOS: return "OKPOS";
    case PEVENT_ADVICE_FLAG: return "ADVICE_FLAG";
    case PEVENT_VERSIG_ANSWER: return "VERSIG_ANSWER";
    case PEVENT_REFUND: return "REFUND";
    case PEVENT_EMPTY: return "EMPTY";
    case PEVENT_CONFIRM_EXTCARD: return "CONFIRM_EXTCARD";
    case PEVENT_TIMEOUT: return "TIMEOUT";
    case PEVENT_TRANS_COMPLETED: return "TRANS_COMPLETED";
    case PEVENT_TERM_NOT_READY: return "TERM_NOT_READY";
    case PEVENT_RESEND: return "RESEND";
    case PEVENT_TIMEOUT_NOCONNECTION: return "TIMEOUT_NOCONNECTION";
    case PEVENT_NO_RECEIPT: return "NO_RECEIPT";
    case PEVENT_NO_LOG: return "NO_LOG";
    default: return std::to_string(e);
    }
    // clang-format on
}

void stop() {
    tapSink = nullptr;
    setConsoleSink(nullptr);
    if (trace.file) std::fclose(trace.file);
    trace.file = nullptr;
}

void writeLine(const std::string& text);

// The wall clock now, to the millisecond: what a file's offsets are counted against.
std::string wallClock() {
    const auto wall = std::chrono::system_clock::now();
    const auto whole = std::chrono::floor<std::chrono::seconds>(wall);
    const std::time_t secs = std::chrono::system_clock::to_time_t(whole);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall - whole);
    std::tm tm{};
    if (const std::tm* local = std::localtime(&secs)) tm = *local; // one thread: no race
    std::array<char, 64> stamp{};
    const std::size_t n = std::strftime(stamp.data(), stamp.size(), "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(stamp.data() + n, stamp.size() - n, ".%03d", static_cast<int>(ms.count()));
    return stamp.data();
}

// Each file begins with the wall clock, so that its offsets keep their anchor.
void writeHeader(bool continued) {
    writeLine(std::string(continued ? "trace continued " : "trace started ") + wallClock() +
              ", limit " + std::to_string(trace.maxBytes / 1024) + " KB");
}

void rotate() {
    std::fclose(trace.file);
    const std::string old = trace.path + ".1";
    std::remove(old.c_str());
    std::rename(trace.path.c_str(), old.c_str());
    trace.file = std::fopen(trace.path.c_str(), "w");
    trace.written = 0;
    if (trace.file) {
        writeHeader(true);
    } else {
        stop();
        say("Trace file %s could not be written: trace off\n", trace.path.c_str());
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
        say("Trace file %s could not be written: trace off\n", path.c_str());
        return;
    }
    trace.written += n;
    if (trace.written >= trace.maxBytes && trace.rotates) rotate();
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
            writeLine(number < 0 ? "< ACK (no sequence byte)" : printf2("< ACK %02X", number));
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
                writeLine(std::string("state ") + stateName(b[0]) + " --" + eventName(b[1]) +
                          "--> " + stateName(b[2]));
            break;
        case TapEvent::Display: {
            // Card numbers never reach the display, but are hidden here too should a terminal
            // show one.
            const std::span<const std::uint8_t> lines(b, n);
            writeLine("display \"" + traceText(lines.first(n / 2)) + "\" \"" +
                      traceText(lines.subspan(n / 2)) + "\"");
            break;
        }
        }
    } catch (...) {
        // No memory for a line: the line is lost, the payment goes on.
    }
}

// The console lines, one trace line each (blank ones dropped), so that a till that turned the
// console off still finds them here.
void consoleToTrace(std::string_view text) {
    try {
        while (!text.empty()) {
            const std::size_t end = std::min(text.find('\n'), text.size());
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
            if (end > 0) writeLine("console " + traceText({bytes, end}));
            text.remove_prefix(std::min(end + 1, text.size()));
        }
    } catch (...) {
        // As for the other lines: lost, and the call goes on.
    }
}

bool isAbsolute(const char* p) {
    return p[0] == '/' || p[0] == '\\' || (p[0] != '\0' && p[1] == ':');
}

// TRACEMAX in KB: its leading digits, 1 to kTraceMaxKb; anything else keeps the default and
// says so, rather than overflowing into a limit that rotates after every line.
long long traceMaxKb(const char* iniPath) {
    std::array<char, 64> text{};
    const IniText read = readIniText(text, iniPath, "TRACEMAX");
    if (read == IniText::Missing) return TRACE_MAX_KB_DEFAULT;
    long long kb = 0;
    const char* p = text.data();
    while (*p == ' ')
        ++p;
    for (; *p >= '0' && *p <= '9' && kb <= kTraceMaxKb; ++p)
        kb = kb * 10 + (*p - '0');
    if (read == IniText::Found && kb >= 1 && kb <= kTraceMaxKb) return kb;
    say("TRACEMAX \"%s\" out of range (1 to %lld KB): %ld used\n", text.data(),
        static_cast<long long>(kTraceMaxKb), TRACE_MAX_KB_DEFAULT);
    return TRACE_MAX_KB_DEFAULT;
}

} // namespace

void traceOpen(const char* iniPath) {
    stop();
    std::array<char, 512> name{};
    if (!iniPath) return;
    const IniText read = readIniText(name, iniPath, "TRACE");
    if (read == IniText::TooLong || read == IniText::Unclosed) {
        say("TRACE in %s: unusable file name, trace off\n", iniPath);
        return;
    }
    if (read != IniText::Found || name[0] == '\0') return;
    const long long maxKb = traceMaxKb(iniPath);
    trace.path = name.data();
    if (!isAbsolute(name.data())) {
        const std::string ini = iniPath;
        const std::size_t slash = ini.find_last_of("/\\");
        if (slash != std::string::npos) trace.path = ini.substr(0, slash + 1) + trace.path;
    }
    trace.maxBytes = maxKb * 1024;
    trace.file = std::fopen(trace.path.c_str(), "a");
    if (!trace.file) {
        say("Trace file %s could not be opened: trace off\n", trace.path.c_str());
        return;
    }
    std::error_code error;
    trace.rotates = std::filesystem::symlink_status(trace.path, error).type() ==
                    std::filesystem::file_type::regular;
    std::fseek(trace.file, 0, SEEK_END);
    trace.written = std::ftell(trace.file);
    trace.start = SteadyClock::now();
    tapSink = sink;
    setConsoleSink(consoleToTrace);
    writeHeader(false);
}

void traceClose() {
    stop();
}

bool traceActive() {
    return tapSink == sink;
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The first six and last four digits of a card number argument, read to its terminator but
// never beyond `width` bytes; no clear copy of it is made on the way.
std::string maskedPan(const char* text, std::size_t width) {
    const std::size_t n = text ? strnlen(text, width) : 0;
    const std::size_t digits =
        static_cast<std::size_t>(std::count_if(text, text + n, [](char c) { return isDigit(c); }));
    std::string out;
    out.reserve(n);
    std::size_t seen = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (!isDigit(c)) {
            out += traceText(std::span(reinterpret_cast<const std::uint8_t*>(text + i), 1));
            continue;
        }
        // Short entries show nothing: first six and last four would be all of it.
        const bool shown = digits >= kPanMin && (seen < 6 || seen + 4 >= digits);
        out += shown ? c : '*';
        ++seen;
    }
    return out;
}

std::string argument(const TraceArg& a) {
    if (a.kind != TraceArg::Kind::Int && a.kind != TraceArg::Kind::Char && !a.text) return "NULL";
    switch (a.kind) {
    case TraceArg::Kind::Int:
        return std::to_string(a.number);
    case TraceArg::Kind::Char:
        return a.number >= 0x20 && a.number < 0x7F
                   ? printf2("'%c'", static_cast<int>(a.number))
                   : printf2("'\\x%02X'", static_cast<int>(a.number));
    case TraceArg::Kind::Text:
        return "\"" +
               traceText(std::span(reinterpret_cast<const std::uint8_t*>(a.text),
                                   strnlen(a.text, a.width))) +
               "\"";
    case TraceArg::Kind::Pan:
        return "\"" + maskedPan(a.text, a.width) + "\"";
    case TraceArg::Kind::Secret:
        return "\"" + std::string(strnlen(a.text, a.width), '*') + "\"";
    case TraceArg::Kind::Unread:
        return "(not read)";
    }
    return "?";
}

std::string callLine(const char* name, std::initializer_list<TraceArg> args) {
    std::string line = std::string("call ") + name + "(";
    bool first = true;
    for (const TraceArg& a : args) {
        if (!first) line += ", ";
        first = false;
        line += argument(a);
    }
    return line + ")";
}

} // namespace

void noteCallResult(int result) {
    lastResult = result;
}

TraceCall::TraceCall(const char* name, std::initializer_list<TraceArg> args, bool returns)
    : name_(name), returns_(returns) {
    traceStarted(args);
}

void TraceCall::traceStarted(std::initializer_list<TraceArg> args) {
    if (written_ || !traceActive()) return;
    written_ = true;
    try {
        writeLine(callLine(name_, args));
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
