// The simulated terminal: link handling with fault injection, and the terminal's dialogues.
#include "tools/sim/terminal.h"

#include "link/pkiss.h"
#include "link/prs232.h"
#include "protocol/ber.h"
#include "protocol/tags.h"

#include <algorithm>
#include <cstdarg>
#include <thread>

namespace tarq::sim {
namespace {

constexpr int kAckTimeoutMs = 4000;
constexpr int kMaxTransmissions = 4;
constexpr int kWaitTimeoutMs = 30000; // an ECR that never answers a question
constexpr int kWackReleaseMs = 500;
constexpr int kPauseInsideMs = 150;

std::string format(const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

// Windows-1252 text shown readably in the log (UTF-8 for the Norwegian letters).
std::string readable(const std::uint8_t* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = p[i];
        switch (b) {
        case 0xC6:
            out += "\xC3\x86";
            break;
        case 0xD8:
            out += "\xC3\x98";
            break;
        case 0xC5:
            out += "\xC3\x85";
            break;
        case 0xE6:
            out += "\xC3\xA6";
            break;
        case 0xF8:
            out += "\xC3\xB8";
            break;
        case 0xE5:
            out += "\xC3\xA5";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (b >= 0x20 && b < 0x7F)
                out += static_cast<char>(b);
            else
                out += format("\\x%02X", b);
        }
    }
    return out;
}

// A fixed field of the payment record: its text up to the first zero byte.
std::string zeroEnded(const std::uint8_t* p, std::size_t n) {
    std::size_t len = 0;
    while (len < n && p[len] != 0)
        ++len;
    return readable(p, len);
}

bool isText(std::uint8_t tag) {
    return tag == PTAG_STATUS1 || tag == PTAG_STATUS2 || tag == PTAG_TERM_RECEIPT ||
           tag == PTAG_TERM_CARDNAME;
}

Element element(std::uint8_t tag, std::vector<std::uint8_t> value = {}) {
    return Element{tag, std::move(value)};
}

Element textElement(std::uint8_t tag, std::string_view text, std::size_t pad = 0) {
    std::vector<std::uint8_t> v(text.begin(), text.end());
    if (v.size() > pad && pad) v.resize(pad);
    while (v.size() < pad)
        v.push_back(' ');
    return element(tag, std::move(v));
}

Message statusMessage(std::string_view line1, std::string_view line2) {
    return {textElement(PTAG_STATUS1, line1, 20), textElement(PTAG_STATUS2, line2, 20)};
}

// The n-th value of a per-request list; the last one repeats.
int pick(const std::vector<int>& values, int n) {
    if (values.empty()) return 0;
    return values[std::min<std::size_t>(static_cast<std::size_t>(n), values.size() - 1)];
}

Message completion(int result, int issuer) {
    return {element(PTAG_TRANS_COMPLETED,
                    {static_cast<std::uint8_t>(result), static_cast<std::uint8_t>(issuer)})};
}

bool hasTag(const Message& m, std::uint8_t tag) {
    return std::any_of(m.begin(), m.end(), [&](const Element& e) { return e.tag == tag; });
}

std::uint32_t be32(const std::vector<std::uint8_t>& v, std::size_t at) {
    if (v.size() < at + 4) return 0;
    return std::uint32_t{v[at]} << 24 | std::uint32_t{v[at + 1]} << 16 |
           std::uint32_t{v[at + 2]} << 8 | v[at + 3];
}

std::string money(int currency, std::uint32_t minor) {
    const char* name = currency == 578   ? "NOK"
                       : currency == 752 ? "SEK"
                       : currency == 208 ? "DKK"
                       : currency == 978 ? "EUR"
                                         : nullptr;
    std::string code = name ? name : std::to_string(currency);
    return code + format(" %u,%02u", minor / 100, minor % 100);
}

} // namespace

// ---- logging and decoding --------------------------------------------------------------

std::string hex(const std::uint8_t* data, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += format(i ? " %02X" : "%02X", data[i]);
    return out;
}

const char* tagName(std::uint8_t tag, bool fromTerminal) {
    switch (tag) {
    case PTAG_MESSAGE:
        return "MESSAGE";
    case PTAG_TERM_OPEN:
        return "PTAG_TERM_OPEN";
    case PTAG_TERM_CLOSE:
        return "PTAG_TERM_CLOSE";
    case PTAG_AMOUNT:
        return "PTAG_AMOUNT";
    case PTAG_CURRENCYCODE:
        return "PTAG_CURRENCYCODE";
    case PTAG_MI:
        return "PTAG_MI";
    case PTAG_TERM_CARD:
        return "PTAG_TERM_CARD";
    case PTAG_STATUS1:
        return "PTAG_STATUS1";
    case PTAG_STATUS2:
        return "PTAG_STATUS2";
    case PTAG_TERM_ABORT:
        return "PTAG_TERM_ABORT";
    case PTAG_CONFIRM:
        return "PTAG_CONFIRM";
    case PTAG_TERM_RECEIPT:
        return "PTAG_TERM_RECEIPT";
    case PTAG_TERM_IDLE:
        return "PTAG_TERM_IDLE";
    case PTAG_TERM_CARDNAME:
        return "PTAG_TERM_CARDNAME";
    case PTAG_EXTPOSOK:
        return "PTAG_EXTPOSOK";
    case PTAG_EXTPOSNOTOK:
        return "PTAG_EXTPOSNOTOK";
    case PTAG_ADVICE_FLAG:
        return "PTAG_ADVICE_FLAG";
    case PTAG_ADMIN:
        return "PTAG_ADMIN";
    case PTAG_VER_SIG_OK:
        return "PTAG_VER_SIG_OK";
    case PTAG_VER_SIG:
        return fromTerminal ? "PTAG_VER_SIG" : "PTAG_VER_SIG (not confirmed)";
    case PTAG_NORTRANS:
        return "PTAG_NORTRANS";
    case PTAG_REFUND:
        return "PTAG_REFUND";
    case PTAG_RECEIPTNUMBER:
        return "PTAG_RECEIPTNUMBER";
    case PTAG_CONFIRMEEXTCARD:
        return "PTAG_CONFIRMEEXTCARD";
    case PTAG_VER_SIG_NONE:
        return "PTAG_VER_SIG_NONE";
    case PTAG_LAST_RECEIPT:
        return "PTAG_LAST_RECEIPT";
    case PTAG_TRACK2_LENGTH:
        return "PTAG_TRACK2_LENGTH";
    case PTAG_NORTRANS_CARD:
        return "PTAG_NORTRANS_CARD";
    case PTAG_TRANS_COMPLETED:
        return "PTAG_TRANS_COMPLETED";
    case PTAG_ISSUERID:
        return "PTAG_ISSUERID";
    default:
        return "PTAG_UNKNOWN";
    }
}

namespace {

void describeNode(const TLV* node, bool fromTerminal, std::string& out) {
    if (TLV_isCdo(node)) {
        out += format("%02X %s {", node->tag, tagName(node->tag, fromTerminal));
        for (const auto& child : node->children) {
            out += ' ';
            describeNode(child.get(), fromTerminal, out);
        }
        out += " }";
        return;
    }
    out += format("%02X %s", node->tag, tagName(node->tag, fromTerminal));
    const auto& v = node->value;
    if (v.empty()) return;
    if (isText(node->tag))
        out += " \"" + readable(v.data(), v.size()) + "\"";
    else if ((node->tag == PTAG_NORTRANS || node->tag == PTAG_NORTRANS_CARD) && v.size() >= 53)
        out += format(" type=%u amount=%u purchase=%u pos=\"%s\" host=\"%s\"", v[0], be32(v, 1),
                      be32(v, 5), zeroEnded(v.data() + 9, 4).c_str(),
                      zeroEnded(v.data() + 13, 40).c_str());
    else
        out += " [" + hex(v.data(), v.size()) + "]";
}

} // namespace

std::string describeMessage(const std::uint8_t* data, std::size_t n) {
    if (n == 0) return "(keep-alive)";
    const int size = BER_check(data, static_cast<std::uint32_t>(n));
    if (size < 0) return "(not a BER-TLV object)";
    TLV* root = BER2TLV(data, static_cast<std::uint32_t>(size));
    if (!root) return "(undecodable)";
    std::string out;
    // The envelope's first element tells the direction well enough for the one ambiguous tag.
    describeNode(root, true, out);
    TLV_free(&root);
    return out;
}

void Log::line(const char* direction, const std::string& text) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
    std::fprintf(out_, "[%6lld.%03lld] %-3s %s\n", static_cast<long long>(ms / 1000),
                 static_cast<long long>(ms % 1000), direction, text.c_str());
    std::fflush(out_);
}

void Log::frame(const char* direction, const std::vector<std::uint8_t>& f, bool decode) {
    std::string text =
        format("frame seq=%02X: %s", f.size() > 1 ? f[1] : 0, hex(f.data(), f.size()).c_str());
    line(direction, text);
    if (!decode || f.size() < 5) return;
    std::vector<std::uint8_t> data(f.size());
    const auto n =
        PKISS_UnStuff(data.data(), f.data() + 2, static_cast<std::uint32_t>(f.size() - 5));
    line("", "    " + describeMessage(data.data(), n));
}

// ---- frames ----------------------------------------------------------------------------

std::vector<std::uint8_t> buildFrame(std::uint8_t seq, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> f(data.size() * 2 + 5);
    f[0] = PKISS_STX;
    f[1] = seq;
    const auto n = data.empty() ? 0u
                                : PKISS_Stuff(f.data() + 2, data.data(),
                                              static_cast<std::uint32_t>(data.size()));
    f[2 + n] = PKISS_ETX;
    const auto crc = PKISS_CalcCrc(f.data() + 1, n + 2);
    f[3 + n] = static_cast<std::uint8_t>(crc & 0xFF);
    f[4 + n] = static_cast<std::uint8_t>(crc >> 8 & 0xFF);
    f.resize(n + 5);
    return f;
}

std::vector<std::uint8_t> encodeMessage(const Message& message) {
    std::vector<std::uint8_t> out = {PTAG_MESSAGE, 0};
    std::vector<std::uint8_t> body;
    for (const Element& e : message) {
        body.push_back(e.tag);
        const auto n = e.value.size();
        if (n < 0x80)
            body.push_back(static_cast<std::uint8_t>(n));
        else if (n <= 0xFF)
            body.insert(body.end(), {0x81, static_cast<std::uint8_t>(n)});
        else
            body.insert(body.end(), {0x82, static_cast<std::uint8_t>(n >> 8),
                                     static_cast<std::uint8_t>(n & 0xFF)});
        body.insert(body.end(), e.value.begin(), e.value.end());
    }
    out.pop_back();
    const auto n = body.size();
    if (n < 0x80)
        out.push_back(static_cast<std::uint8_t>(n));
    else if (n <= 0xFF)
        out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
    else
        out.insert(out.end(),
                   {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n & 0xFF)});
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// ---- the terminal ----------------------------------------------------------------------

Terminal::Terminal(PRS232_PORT* port, Config config, std::FILE* logOut)
    : port_(port), cfg_(std::move(config)), log_(logOut), stepReady_(Clock::now()),
      notReadyLeft_(cfg_.notReady) {}

Terminal::~Terminal() {
    PRS232_Delete(&port_);
}

bool Terminal::readByte(std::uint8_t& byte, int tries) {
    for (int i = 0; i < tries; ++i) {
        std::uint32_t n = 1;
        PRS232_Recv(port_, &byte, &n);
        if (n == 1) return true;
    }
    return false;
}

void Terminal::sendControl(std::uint8_t control, int seq) {
    std::vector<std::uint8_t> bytes{control};
    if (seq >= 0) bytes.push_back(static_cast<std::uint8_t>(seq));
    PRS232_Send(port_, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    const char* name = control == PKISS_ACK ? "ACK" : control == PKISS_NAK ? "NAK" : "WACK";
    log_.line("T>", seq >= 0 ? format("%s %02X", name, seq) : std::string(name));
}

void Terminal::receiveFrame() {
    std::vector<std::uint8_t> f{PKISS_STX};
    std::uint8_t b = 0;
    bool complete = false;
    if (readByte(b, 3)) {
        f.push_back(b);
        bool escaped = false;
        while (f.size() < PKISS_FRAME_SIZE && readByte(b, 3)) {
            f.push_back(b);
            if (b == PKISS_DLE)
                escaped = !escaped;
            else if (b == PKISS_ETX && !escaped)
                break;
            else
                escaped = false;
        }
        std::uint8_t lo = 0, hi = 0;
        if (f.back() == PKISS_ETX && readByte(lo, 3) && readByte(hi, 3)) {
            f.push_back(lo);
            f.push_back(hi);
            complete = true;
        }
    }
    log_.frame("E>", f, complete);
    if (cfg_.mute != 0) {
        if (cfg_.mute > 0) --cfg_.mute;
        log_.note("mute: frame not answered");
        return;
    }
    if (!complete) {
        log_.note("frame cut off");
        sendControl(PKISS_NAK);
        return;
    }
    const auto crc = PKISS_CalcCrc(f.data() + 1, static_cast<std::uint32_t>(f.size() - 3));
    if ((crc & 0xFFFFu) != (f[f.size() - 2] | static_cast<std::uint32_t>(f[f.size() - 1]) << 8)) {
        log_.note("bad CRC");
        sendControl(PKISS_NAK);
        return;
    }
    const std::uint8_t seq = f[1];
    if (f.size() == 5) { // keep-alive
        sendControl(PKISS_ACK, seq);
        return;
    }
    if (seq == lastRxSeq_ && seq != 0xFF) {
        log_.note("repetition, dropped");
        sendControl(PKISS_ACK, seq);
        return;
    }
    const int ordinal = ++rxFrames_;
    if (cfg_.nak.count(ordinal)) {
        log_.note(format("fault: NAK to frame %d", ordinal));
        sendControl(PKISS_NAK);
        return;
    }
    if (cfg_.wack.count(ordinal)) {
        log_.note(format("fault: WACK to frame %d", ordinal));
        sendControl(PKISS_WACK);
        std::this_thread::sleep_for(std::chrono::milliseconds(kWackReleaseMs));
    }
    lastRxSeq_ = seq;
    sendControl(PKISS_ACK, seq);

    std::vector<std::uint8_t> data(f.size());
    const auto n =
        PKISS_UnStuff(data.data(), f.data() + 2, static_cast<std::uint32_t>(f.size() - 5));
    const int size = BER_check(data.data(), n);
    TLV* root = size > 0 ? BER2TLV(data.data(), static_cast<std::uint32_t>(size)) : nullptr;
    if (!root) return;
    Message m;
    if (root->tag == PTAG_MESSAGE)
        for (const auto& child : root->children)
            if (!TLV_isCdo(child.get())) m.push_back(Element{child->tag, child->value});
    TLV_free(&root);
    inbox_.push_back(std::move(m));
}

void Terminal::writeFrame(const std::vector<std::uint8_t>& frame, bool pauseInside) {
    if (!pauseInside) {
        PRS232_Send(port_, frame.data(), static_cast<std::uint32_t>(frame.size()));
        return;
    }
    const auto half = static_cast<std::uint32_t>(frame.size() / 2);
    PRS232_Send(port_, frame.data(), half);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseInsideMs));
    PRS232_Send(port_, frame.data() + half, static_cast<std::uint32_t>(frame.size()) - half);
}

bool Terminal::waitForAck(const std::vector<std::uint8_t>& frame, std::uint8_t seq) {
    int transmissions = 1;
    auto deadline = Clock::now() + std::chrono::milliseconds(kAckTimeoutMs);
    for (;;) {
        std::uint8_t b = 0;
        if (readByte(b, 1)) {
            if (b == PKISS_ACK) {
                std::uint8_t s = 0;
                const bool got = readByte(s, 3);
                log_.line("E>", got ? format("ACK %02X", s) : std::string("ACK (no number)"));
                if (got && s == seq) return true;
            } else if (b == PKISS_NAK) {
                log_.line("E>", "NAK");
                if (transmissions >= kMaxTransmissions) break;
                ++transmissions;
                log_.frame("T>", frame, false);
                writeFrame(frame, false);
                deadline = Clock::now() + std::chrono::milliseconds(kAckTimeoutMs);
            } else if (b == PKISS_WACK) {
                log_.line("E>", "WACK");
                deadline = Clock::now() + std::chrono::milliseconds(kAckTimeoutMs);
            } else if (b == PKISS_STX) {
                receiveFrame();
            } else {
                log_.line("E>", format("stray byte %02X", b));
            }
            continue;
        }
        if (Clock::now() < deadline) continue;
        if (transmissions >= kMaxTransmissions) break;
        ++transmissions;
        log_.note("no answer, sending again");
        log_.frame("T>", frame, false);
        writeFrame(frame, false);
        deadline = Clock::now() + std::chrono::milliseconds(kAckTimeoutMs);
    }
    log_.note("frame not acknowledged, given up");
    return false;
}

bool Terminal::sendMessage(const Message& message) {
    const auto data = encodeMessage(message);
    if (firstTx_)
        firstTx_ = false;
    else
        PKISS_NewSeq(&txSeq_);
    const std::uint8_t seq = txSeq_;
    const auto frame = buildFrame(seq, data);
    const int ordinal = ++txFrames_;

    if (cfg_.noise.count(ordinal)) {
        const std::vector<std::uint8_t> junk{0x55, 0xAA, 0x00, 0x7F, 0x41};
        log_.line("T>", "fault: noise " + hex(junk.data(), junk.size()));
        PRS232_Send(port_, junk.data(), static_cast<std::uint32_t>(junk.size()));
        // Let the receiver's drain see silence before the frame starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::vector<std::uint8_t> first = frame;
    if (cfg_.badCrc.count(ordinal)) {
        first[first.size() - 1] ^= 0xFF;
        log_.note(format("fault: broken CRC in frame %d", ordinal));
    }
    const bool pauseInside = cfg_.pause.count(ordinal) > 0;
    if (pauseInside) log_.note(format("fault: pause inside frame %d", ordinal));
    log_.frame("T>", first, true);
    writeFrame(first, pauseInside);
    bool ok = waitForAck(frame, seq);
    if (ok && cfg_.repeat.count(ordinal)) {
        log_.note(format("fault: frame %d sent again", ordinal));
        log_.frame("T>", frame, false);
        writeFrame(frame, false);
        ok = waitForAck(frame, seq);
    }
    return ok;
}

void Terminal::queueSend(Message message, int delayMs) {
    Step s{Step::Kind::Send, std::move(message), delayMs, {}, {}};
    script_.push_back(std::move(s));
}

void Terminal::queueWait(std::set<std::uint8_t> tags, std::function<void(const Message&)> then) {
    Step s{Step::Kind::Wait, {}, 0, std::move(tags), std::move(then)};
    script_.push_back(std::move(s));
}

bool Terminal::silent() {
    if (cfg_.silence == 0) return false;
    if (cfg_.silence > 0) --cfg_.silence;
    return true;
}

void Terminal::startPayment() {
    script_.clear();
    paymentActive_ = true;
    if (notReadyLeft_ > 0) {
        --notReadyLeft_;
        log_.note("terminal not ready");
        queueSend(completion(5, 0), cfg_.stepDelayMs);
        paymentActive_ = false;
        return;
    }
    if (cfg_.statusTexts.empty()) {
        queueSend(statusMessage("SETT INN KORT", ""), cfg_.stepDelayMs);
    } else {
        for (const auto& s : cfg_.statusTexts) {
            const auto bar = s.find('|');
            queueSend(
                statusMessage(s.substr(0, bar), bar == std::string::npos ? "" : s.substr(bar + 1)),
                cfg_.stepDelayMs);
        }
    }
    paymentResult_ = pick(cfg_.result, payments_++);
    std::vector<std::uint8_t> card(19, 0);
    std::copy_n(cfg_.card.begin(), std::min<std::size_t>(19, cfg_.card.size()), card.begin());
    const int t2 = cfg_.track2Length >= 0 ? cfg_.track2Length : static_cast<int>(cfg_.card.size());
    queueSend({element(PTAG_TERM_CARD, card),
               element(PTAG_TRACK2_LENGTH,
                       {static_cast<std::uint8_t>(t2 >> 8), static_cast<std::uint8_t>(t2 & 0xFF)})},
              cfg_.cardDelayMs);
    if (cfg_.terminalAbort) {
        queueSend(statusMessage("AVBRUTT", ""), cfg_.stepDelayMs);
        queueSend({element(PTAG_TERM_ABORT)}, cfg_.stepDelayMs);
        queueSend(completion(cfg_.abortResult, 0), cfg_.stepDelayMs);
        return;
    }
    queueWait({PTAG_NORTRANS, PTAG_NORTRANS_CARD},
              [this](const Message& m) { continueAfterPaymentRecord(m); });
}

void Terminal::continueAfterPaymentRecord(const Message& record) {
    for (const Element& e : record)
        if (e.tag == PTAG_NORTRANS || e.tag == PTAG_NORTRANS_CARD) amount_ = be32(e.value, 1);
    queueSend(statusMessage("BEL\xD8P " + money(currency_, amount_), "TAST PIN-KODE"),
              cfg_.stepDelayMs);
    queueSend(statusMessage("VENNLIGST VENT", "KONTAKTER BANK"), cfg_.stepDelayMs);
    if (extCardAsked_ || cfg_.extCard) {
        queueSend({element(PTAG_CONFIRM)}, cfg_.stepDelayMs);
        queueWait({PTAG_EXTPOSOK, PTAG_EXTPOSNOTOK}, [this](const Message& m) {
            if (hasTag(m, PTAG_EXTPOSNOTOK))
                abortPayment("card not confirmed by the ECR");
            else if (cfg_.signature) {
                queueSend({element(PTAG_VER_SIG)}, cfg_.stepDelayMs);
                queueWait({PTAG_VER_SIG_OK, PTAG_VER_SIG, PTAG_VER_SIG_NONE},
                          [this](const Message& s) { finishPayment(hasTag(s, PTAG_VER_SIG_OK)); });
            } else
                finishPayment(true);
        });
        return;
    }
    if (cfg_.signature) {
        queueSend({element(PTAG_VER_SIG)}, cfg_.stepDelayMs);
        queueWait({PTAG_VER_SIG_OK, PTAG_VER_SIG, PTAG_VER_SIG_NONE},
                  [this](const Message& s) { finishPayment(hasTag(s, PTAG_VER_SIG_OK)); });
        return;
    }
    finishPayment(true);
}

void Terminal::finishPayment(bool approved) {
    const int result = approved ? paymentResult_ : cfg_.abortResult;
    const bool ok = result == 0;
    queueSend(statusMessage(ok ? "GODKJENT" : "AVVIST", ""), cfg_.stepDelayMs);
    std::vector<std::string> texts = cfg_.receiptTexts;
    if (texts.empty()) {
        for (int i = 0; i < cfg_.receipts; ++i) {
            const char* copy = i == 0 ? "BRUKERSTEDETS KOPI" : i == 1 ? "KUNDENS KOPI" : "KOPI";
            std::string t = "      KORTTERMINAL\n  Storgata 1, 0155 OSLO\n\n";
            t += "KJ\xD8P      " + money(currency_, amount_) + "\n";
            t += "KORT  ************1234\nREF 000123   AUT 4711\n";
            t += ok ? std::string("GODKJENT\n") : format("AVVIST (%d)\n", result);
            t += std::string("\n") + copy + "\n";
            texts.push_back(t);
        }
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        Message m;
        if (i + 1 == texts.size()) m.push_back(element(PTAG_LAST_RECEIPT));
        m.push_back(textElement(PTAG_TERM_RECEIPT, texts[i]));
        queueSend(std::move(m), cfg_.stepDelayMs);
        queueWait({PTAG_RECEIPTNUMBER}, nullptr);
    }
    queueSend(completion(result, ok ? cfg_.issuer : 0), cfg_.stepDelayMs);
    paymentActive_ = false;
}

void Terminal::abortPayment(const char* why) {
    log_.note(std::string("payment aborted: ") + why);
    script_.clear();
    queueSend(statusMessage("AVBRUTT", ""), cfg_.stepDelayMs);
    queueSend({element(PTAG_TERM_ABORT)}, cfg_.stepDelayMs);
    queueSend(completion(cfg_.abortResult, 0), cfg_.stepDelayMs);
    paymentActive_ = false;
}

void Terminal::startAdmin(int code) {
    script_.clear();
    if (code == 8) {
        log_.note("restart requested");
        return;
    }
    const char* title = code == 1    ? "TERMINALRAPPORT"
                        : code == 2  ? "AVSTEMMING"
                        : code == 15 ? "SISTE KVITTERING"
                        : code == 23 ? "TOTALRAPPORT"
                        : code == 25 ? "SISTE AVSTEMMING"
                        : code == 26 ? "PARAMETERRAPPORT"
                                     : "ADMINISTRASJON";
    queueSend(statusMessage(title, "VENNLIGST VENT"), cfg_.stepDelayMs);
    for (int i = 0; i < cfg_.adminReceipts; ++i) {
        Message m;
        if (i + 1 == cfg_.adminReceipts) m.push_back(element(PTAG_LAST_RECEIPT));
        m.push_back(textElement(PTAG_TERM_RECEIPT,
                                format("%s\nKOMMANDO %d\nSIDE %d\n", title, code, i + 1)));
        queueSend(std::move(m), cfg_.stepDelayMs);
        queueWait({PTAG_RECEIPTNUMBER}, nullptr);
    }
    Message end;
    const int issuer = pick(cfg_.adminIssuer, commands_);
    const int result = pick(cfg_.adminResult, commands_);
    ++commands_;
    if (issuer >= 0) end.push_back(element(PTAG_ISSUERID, {static_cast<std::uint8_t>(issuer)}));
    end.push_back(element(PTAG_TERM_IDLE, {static_cast<std::uint8_t>(result)}));
    queueSend(std::move(end), cfg_.stepDelayMs);
}

void Terminal::handleMessage(const Message& m) {
    if (!script_.empty() && script_.front().kind == Step::Kind::Wait) {
        Step& w = script_.front();
        if (std::any_of(m.begin(), m.end(),
                        [&](const Element& e) { return w.tags.count(e.tag); })) {
            auto then = std::move(w.then);
            script_.pop_front();
            stepReady_ = Clock::now();
            if (then) {
                // Steps the continuation adds belong before whatever was still queued.
                std::deque<Step> rest;
                rest.swap(script_);
                then(m);
                for (auto& s : rest)
                    script_.push_back(std::move(s));
            }
            return;
        }
    }
    for (const Element& e : m) {
        switch (e.tag) {
        case PTAG_TERM_OPEN:
            log_.note("connection opened");
            break;
        case PTAG_TERM_CLOSE:
            log_.note("connection closed");
            script_.clear();
            closed_ = true;
            closedAt_ = Clock::now();
            break;
        case PTAG_CONFIRMEEXTCARD:
            extCardAsked_ = true;
            break;
        case PTAG_MI:
            break;
        case PTAG_CURRENCYCODE:
            currency_ = e.value.size() >= 2 ? e.value[0] << 8 | e.value[1] : 0;
            if (silent())
                log_.note("silent: payment request not answered");
            else
                startPayment();
            break;
        case PTAG_ADMIN: {
            const int code = e.value.size() >= 2 ? e.value[0] << 8 | e.value[1] : -1;
            if (silent())
                log_.note("silent: command not answered");
            else
                startAdmin(code);
            break;
        }
        case PTAG_TERM_ABORT:
            if (paymentActive_ || !script_.empty()) abortPayment("by the ECR");
            break;
        default:
            break;
        }
    }
    stepReady_ = Clock::now();
}

void Terminal::runDueStep() {
    Step& s = script_.front();
    if (s.kind == Step::Kind::Wait) {
        if (Clock::now() - waitSince_ > std::chrono::milliseconds(kWaitTimeoutMs)) {
            log_.note("the ECR did not answer; dialogue dropped");
            script_.clear();
            paymentActive_ = false;
        }
        return;
    }
    Message m = std::move(s.message);
    script_.pop_front();
    sendMessage(m);
    stepReady_ = Clock::now();
    waitSince_ = stepReady_;
}

void Terminal::run(const std::atomic<bool>& stop) {
    log_.note("terminal ready");
    while (!stop.load()) {
        if (!inbox_.empty()) {
            Message m = std::move(inbox_.front());
            inbox_.pop_front();
            handleMessage(m);
            continue;
        }
        // Linger a little after the close, so the ECR has read our acknowledgement before the
        // line goes away.
        if (closed_ && cfg_.exitOnClose &&
            Clock::now() - closedAt_ > std::chrono::milliseconds(500))
            break;
        if (!script_.empty()) {
            const Step& s = script_.front();
            if (s.kind == Step::Kind::Wait ||
                Clock::now() >= stepReady_ + std::chrono::milliseconds(s.delayMs)) {
                if (s.kind == Step::Kind::Send) {
                    runDueStep();
                    continue;
                }
                runDueStep();
            }
        }
        std::uint8_t b = 0;
        if (readByte(b, 1)) {
            if (b == PKISS_STX)
                receiveFrame();
            else
                log_.line("E>", format("stray byte %02X", b));
        }
    }
    log_.note("terminal stopped");
}

} // namespace tarq::sim
