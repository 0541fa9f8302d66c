// The terminal's side of the line: frames, acknowledgements and the injected link faults.
#include "tools/sim/link.h"

#include "link/pkiss.h"
#include "link/prs232.h"
#include "protocol/ber.h"
#include "protocol/describe.h"
#include "protocol/tags.h"
#include "tools/sim/terminal.h"

#include <thread>

namespace tarq::sim {
namespace {

// The same patience the library's side of the link has.
constexpr auto kAckTimeout = std::chrono::milliseconds(PKISS_ACK_TIMEOUT);
constexpr int kWackReleaseMs = 500;
constexpr int kPauseInsideMs = 150;

} // namespace

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

TerminalLink::TerminalLink(PRS232_PORT* port, Config& faults, Log& log)
    : port_(port), faults_(faults), log_(log), rng_(faults.faultSeed) {}

TerminalLink::~TerminalLink() {
    PRS232_Delete(&port_);
}

bool TerminalLink::nextMessage(Message& message, std::uint8_t* seq) {
    if (inbox_.empty()) return false;
    message = std::move(inbox_.front().first);
    if (seq) *seq = inbox_.front().second;
    inbox_.pop_front();
    return true;
}

int TerminalLink::drawFault(int kinds) {
    if (faults_.faultRate <= 0) return -1;
    if (std::uniform_real_distribution<double>(0, 1)(rng_) >= faults_.faultRate) return -1;
    return std::uniform_int_distribution<int>(0, kinds - 1)(rng_);
}

void TerminalLink::fault(const char* name, const std::string& detail) {
    log_.note(std::string("fault: ") + detail);
    if (journal_) journal_->add({JournalEvent::Kind::Fault, 0, 0, true, name});
}

void TerminalLink::poll() {
    // A short wait, so a step that falls due is not held up by a whole read time-out.
    if (PRS232_WaitInput(port_, 5) == 0) return;
    std::uint8_t b = 0;
    if (readByte(b, 1)) {
        if (b == PKISS_STX)
            receiveFrame();
        else if (b == PKISS_ACK && readByte(b, 3))
            log_.line("E>", format("ACK %02X (late)", b));
        else
            log_.line("E>", format("stray byte %02X", b));
    }
}

bool TerminalLink::readByte(std::uint8_t& byte, int tries) {
    for (int i = 0; i < tries; ++i) {
        std::uint32_t n = 1;
        PRS232_Recv(port_, &byte, &n);
        if (n == 1) return true;
    }
    return false;
}

void TerminalLink::sendControl(std::uint8_t control, int seq) {
    std::vector<std::uint8_t> bytes{control};
    if (seq >= 0) bytes.push_back(static_cast<std::uint8_t>(seq));
    PRS232_Send(port_, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    const char* name = control == PKISS_ACK ? "ACK" : control == PKISS_NAK ? "NAK" : "WACK";
    log_.line("T>", seq >= 0 ? format("%s %02X", name, seq) : std::string(name));
}

void TerminalLink::receiveFrame() {
    std::vector<std::uint8_t> f{PKISS_STX};
    const bool complete = readFrame(f);
    log_.frame("E>", f, complete);
    if (isNewFrame(f, complete) && acknowledge(f[1])) takeMessage(f);
}

bool TerminalLink::readFrame(std::vector<std::uint8_t>& f) {
    std::uint8_t b = 0;
    if (!readByte(b, 3)) return false;
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
    if (f.back() != PKISS_ETX || !readByte(lo, 3) || !readByte(hi, 3)) return false;
    f.push_back(lo);
    f.push_back(hi);
    return true;
}

bool TerminalLink::isNewFrame(const std::vector<std::uint8_t>& f, bool complete) {
    if (faults_.mute != 0) {
        if (faults_.mute > 0) --faults_.mute;
        log_.note("mute: frame not answered");
        return false;
    }
    if (!complete) {
        log_.note("frame cut off");
        sendControl(PKISS_NAK);
        return false;
    }
    const auto crc = PKISS_CalcCrc(f.data() + 1, static_cast<std::uint32_t>(f.size() - 3));
    if ((crc & 0xFFFFu) != (f[f.size() - 2] | static_cast<std::uint32_t>(f[f.size() - 1]) << 8)) {
        log_.note("bad CRC");
        sendControl(PKISS_NAK);
        return false;
    }
    const std::uint8_t seq = f[1];
    if (f.size() == 5) { // keep-alive
        sendControl(PKISS_ACK, seq);
        return false;
    }
    if (seq == lastRxSeq_ && seq != 0xFF) {
        log_.note("repetition, dropped");
        sendControl(PKISS_ACK, seq);
        return false;
    }
    return true;
}

bool TerminalLink::acknowledge(std::uint8_t seq) {
    const int ordinal = ++rxFrames_;
    const int drawn = drawFault(3);
    if (faults_.nak.count(ordinal) || drawn == 0) {
        fault("NAK", format("NAK to frame %d", ordinal));
        sendControl(PKISS_NAK);
        return false;
    }
    if (faults_.wack.count(ordinal) || drawn == 1) {
        fault("WACK", format("WACK to frame %d", ordinal));
        sendControl(PKISS_WACK);
        std::this_thread::sleep_for(std::chrono::milliseconds(kWackReleaseMs));
    }
    lastRxSeq_ = seq;
    // A lost ACK: the frame is taken, but the ECR must send it again to hear so.
    if (faults_.lostAck.count(ordinal) || drawn == 2)
        fault("lost ACK", format("ACK to frame %d lost", ordinal));
    else
        sendControl(PKISS_ACK, seq);
    return true;
}

void TerminalLink::takeMessage(const std::vector<std::uint8_t>& f) {
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
    inbox_.emplace_back(std::move(m), f[1]);
}

void TerminalLink::writeFrame(const std::vector<std::uint8_t>& frame, bool pauseInside) {
    if (!pauseInside) {
        PRS232_Send(port_, frame.data(), static_cast<std::uint32_t>(frame.size()));
        return;
    }
    const auto half = static_cast<std::uint32_t>(frame.size() / 2);
    PRS232_Send(port_, frame.data(), half);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseInsideMs));
    PRS232_Send(port_, frame.data() + half, static_cast<std::uint32_t>(frame.size()) - half);
}

bool TerminalLink::waitForAck(const std::vector<std::uint8_t>& frame, std::uint8_t seq) {
    int transmissions = 1;
    auto deadline = Clock::now() + kAckTimeout;
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
                if (transmissions >= MAX_NUMBER_SEND) break;
                ++transmissions;
                log_.frame("T>", frame, false);
                writeFrame(frame, false);
                deadline = Clock::now() + kAckTimeout;
            } else if (b == PKISS_WACK) {
                log_.line("E>", "WACK");
                deadline = Clock::now() + kAckTimeout;
            } else if (b == PKISS_STX) {
                receiveFrame();
            } else {
                log_.line("E>", format("stray byte %02X", b));
            }
            continue;
        }
        if (Clock::now() < deadline) continue;
        if (transmissions >= MAX_NUMBER_SEND) break;
        ++transmissions;
        log_.note("no answer, sending again");
        log_.frame("T>", frame, false);
        writeFrame(frame, false);
        deadline = Clock::now() + kAckTimeout;
    }
    log_.note("frame not acknowledged, given up");
    return false;
}

bool TerminalLink::sendMessage(const Message& message) {
    const auto data = encodeMessage(message);
    if (firstTx_)
        firstTx_ = false;
    else
        PKISS_NewSeq(txSeq_);
    const std::uint8_t seq = txSeq_;
    const auto frame = buildFrame(seq, data);
    const int ordinal = ++txFrames_;
    const int drawn = drawFault(4);

    if (faults_.noise.count(ordinal) || drawn == 0) {
        const std::vector<std::uint8_t> junk{0x55, 0xAA, 0x00, 0x7F, 0x41};
        fault("noise", "noise " + hexBytes(junk));
        PRS232_Send(port_, junk.data(), static_cast<std::uint32_t>(junk.size()));
        // Let the receiver's drain see silence before the frame starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::vector<std::uint8_t> first = frame;
    if (faults_.badCrc.count(ordinal) || drawn == 1) {
        first[first.size() - 1] ^= 0xFF;
        fault("bad CRC", format("broken CRC in frame %d", ordinal));
    }
    const bool pauseInside = faults_.pause.count(ordinal) > 0 || drawn == 2;
    if (pauseInside) fault("pause", format("pause inside frame %d", ordinal));
    log_.frame("T>", first, true);
    writeFrame(first, pauseInside);
    bool ok = waitForAck(frame, seq);
    if (ok && (faults_.repeat.count(ordinal) || drawn == 3)) {
        // Its ACK comes when the ECR next reads the line, which may be in its next call.
        fault("repeat", format("frame %d sent again", ordinal));
        log_.frame("T>", frame, false);
        writeFrame(frame, false);
    }
    return ok;
}

} // namespace tarq::sim
