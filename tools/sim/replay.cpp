#include "tools/sim/replay.h"

#include "link/pkiss.h"
#include "link/prs232.h"
#include "protocol/describe.h"
#include "tools/sim/link.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace tarq::sim {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr int kWildcard = -1;
constexpr std::uint8_t kFiller = '0'; // stands in for masked card data the terminal sent
constexpr auto kFrameWait = std::chrono::seconds(20);
constexpr auto kAckWait = std::chrono::seconds(4);
constexpr int kSendings = 4;
// After the recording: the driver's link would send a frame it still had within this.
constexpr auto kTailWait = std::chrono::seconds(2);

struct Step {
    long ms = 0;
    bool fromDriver = false;
    std::uint8_t seq = 0;
    std::vector<int> data; // message bytes; kWildcard where the trace masked them
    std::string text;      // the trace's line after "frame"
};

enum class Parsed { Other, Frame, Malformed };

// Two hex digits, "**" (masked), or -2 when the token is neither.
int hexToken(const std::string& t) {
    if (t == "**") return kWildcard;
    if (t.size() != 2 || !std::isxdigit(static_cast<unsigned char>(t[0])) ||
        !std::isxdigit(static_cast<unsigned char>(t[1])))
        return -2;
    return std::stoi(t, nullptr, 16);
}

// "   812 < frame 00: 02 00 E1 .. 03 C1 C2 | decoded". Resent frames are left out: the link
// sends them again by itself. Lines that are no frame (calls, states, ACKs, headers) are
// passed over; a frame line that cannot be read is malformed.
Parsed parseStep(const std::string& line, Step& step) {
    std::istringstream in(line);
    std::string dir, word, seq;
    if (!(in >> step.ms >> dir >> word) || word != "frame" || (dir != "<" && dir != ">"))
        return Parsed::Other;
    if (!(in >> seq)) return Parsed::Malformed;
    if (seq.size() == 2 && line.find("(sent ") != std::string::npos) return Parsed::Other;
    if (seq.size() != 3 || seq[2] != ':' || hexToken(seq.substr(0, 2)) < 0)
        return Parsed::Malformed;
    // A frame the trace could not show, "(short frame)", has nothing to replay.
    if (in >> std::ws; in.peek() == '(') return Parsed::Other;
    step.fromDriver = dir == ">";
    step.seq = static_cast<std::uint8_t>(hexToken(seq.substr(0, 2)));
    std::vector<int> tokens;
    for (std::string t; in >> t && t != "|";)
        tokens.push_back(hexToken(t));
    if (tokens.size() < 5 || std::count(tokens.begin(), tokens.end(), -2) > 0)
        return Parsed::Malformed;
    for (std::size_t i = 2; i + 3 < tokens.size(); ++i) {
        if (tokens[i] == PKISS_DLE && i + 4 < tokens.size()) ++i; // escaped byte
        step.data.push_back(tokens[i]);
    }
    step.text = line.substr(line.find("frame"));
    return Parsed::Frame;
}

// The driver's open message: the envelope's first element is the open tag.
bool isOpen(const Step& s) {
    return s.fromDriver && s.data.size() >= 3 && s.data[0] == 0xE1 && s.data[2] == 0xC0;
}

std::string hexWithWildcards(const std::vector<int>& data) {
    std::string out;
    for (const int b : data) {
        char h[4];
        std::snprintf(h, sizeof h, b == kWildcard ? "**" : "%02X", b);
        out += (out.empty() ? "" : " ") + std::string(h);
    }
    return out;
}

class Replayer {
  public:
    Replayer(PRS232_PORT* port, std::FILE* out, const std::atomic<bool>& stop)
        : port_(port), out_(out), stop_(stop) {}
    ~Replayer() { PRS232_Delete(&port_); }
    Replayer(const Replayer&) = delete;
    Replayer& operator=(const Replayer&) = delete;

    // The driver's next frame, acknowledged; false when none came in time.
    bool driverFrame(Bytes& data, Clock::duration wait = kFrameWait) {
        const auto deadline = Clock::now() + wait;
        while (received_.empty() && Clock::now() < deadline && !stop_) {
            std::uint8_t b = 0;
            if (readByte(b) && b == PKISS_STX) receiveFrame();
        }
        if (received_.empty()) return false;
        data = received_.front();
        received_.pop_front();
        return true;
    }

    // Sends a terminal frame and waits for its ACK, serving the driver's frames meanwhile.
    bool terminalFrame(std::uint8_t seq, const std::vector<int>& data) {
        Bytes bytes;
        for (const int b : data)
            bytes.push_back(b == kWildcard ? kFiller : static_cast<std::uint8_t>(b));
        const Bytes frame = buildFrame(seq, bytes);
        for (int sending = 0; sending < kSendings && !stop_; ++sending) {
            PRS232_Send(port_, frame.data(), static_cast<std::uint32_t>(frame.size()));
            const auto deadline = Clock::now() + kAckWait;
            while (Clock::now() < deadline && !stop_) {
                std::uint8_t b = 0;
                if (!readByte(b)) continue;
                if (b == PKISS_STX) receiveFrame();
                if (b == PKISS_NAK) break;
                if (b == PKISS_WACK) std::this_thread::sleep_for(std::chrono::milliseconds(200));
                if (b == PKISS_WACK) break;
                std::uint8_t s = 0;
                if (b == PKISS_ACK && readByte(s) && s == seq) return true;
            }
        }
        return false;
    }

  private:
    bool readByte(std::uint8_t& b) {
        std::uint32_t n = 1;
        PRS232_Recv(port_, &b, &n);
        return n == 1;
    }

    void receiveFrame() {
        std::uint8_t seq = 0;
        if (!readByte(seq)) return;
        Bytes escaped;
        bool escape = false;
        for (std::uint8_t b = 0; readByte(b);) {
            if (b == PKISS_ETX && !escape) {
                std::uint8_t crc[2];
                if (!readByte(crc[0]) || !readByte(crc[1])) return;
                Bytes check{seq};
                check.insert(check.end(), escaped.begin(), escaped.end());
                check.push_back(PKISS_ETX);
                const auto want =
                    PKISS_CalcCrc(check.data(), static_cast<std::uint32_t>(check.size()));
                if (want != static_cast<std::uint32_t>(crc[0] | crc[1] << 8)) break;
                Bytes data(escaped.size());
                data.resize(PKISS_UnStuff(data.data(), escaped.data(),
                                          static_cast<std::uint32_t>(escaped.size())));
                const std::uint8_t ack[2] = {PKISS_ACK, seq};
                PRS232_Send(port_, ack, 2);
                if (seq != lastSeq_ || seq == 0xFF) received_.push_back(std::move(data));
                lastSeq_ = seq;
                return;
            }
            escape = b == PKISS_DLE && !escape;
            escaped.push_back(b);
        }
        const std::uint8_t nak = PKISS_NAK;
        PRS232_Send(port_, &nak, 1);
    }

    PRS232_PORT* port_;
    std::FILE* out_;
    const std::atomic<bool>& stop_;
    std::deque<Bytes> received_;
    int lastSeq_ = -1;
};

} // namespace

namespace {

// The trace's frames, split at the driver's opens: part 0 is what precedes the first open.
// False (and the reason on `out`) when the file cannot be read, a frame line is malformed or
// no frame is there.
bool readTrace(const std::string& path, std::vector<std::vector<Step>>& parts, std::FILE* out) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(out, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    parts.assign(1, {});
    int number = 0, frames = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        Step s;
        const Parsed p = parseStep(line, s);
        if (p == Parsed::Malformed) {
            std::fprintf(out, "replay: %s:%d: not a frame as the trace writes it: %s\n",
                         path.c_str(), number, line.c_str());
            return false;
        }
        if (p == Parsed::Other) continue;
        if (isOpen(s)) parts.emplace_back();
        parts.back().push_back(std::move(s));
        ++frames;
    }
    if (frames == 0) std::fprintf(out, "replay: %s holds no frames of a trace\n", path.c_str());
    return frames > 0;
}

// The steps of session `session` (the Nth open up to the next one); 0: from the start of the
// trace up to its second open. False (and the reason on `out`) when there is no such session.
bool pickSession(std::vector<std::vector<Step>>& parts, int session, std::vector<Step>& steps,
                 std::FILE* out) {
    const int sessions = static_cast<int>(parts.size()) - 1;
    if (session > sessions) {
        std::fprintf(out, "replay: no session %d: the trace holds %d\n", session, sessions);
        return false;
    }
    if (session > 0) {
        std::fprintf(out, "replay: session %d of %d\n", session, sessions);
        steps = std::move(parts[static_cast<std::size_t>(session)]);
        return true;
    }
    if (sessions > 1)
        std::fprintf(out,
                     "replay: the trace holds %d sessions (opens); replaying the first "
                     "(--session N picks another)\n",
                     sessions);
    steps = std::move(parts[0]);
    if (sessions > 0) steps.insert(steps.end(), parts[1].begin(), parts[1].end());
    return true;
}

// The driver's frame against the recorded one; false (both shown on `out`) when they differ.
bool sameFrame(const Step& s, const Bytes& got, int number, std::FILE* out) {
    std::size_t at = 0;
    while (at < got.size() && at < s.data.size() &&
           (s.data[at] == kWildcard || s.data[at] == got[at]))
        ++at;
    if (at == got.size() && at == s.data.size()) return true;
    std::fprintf(out,
                 "replay: frame %d of the driver differs at byte %zu of its message\n"
                 "  expected: %s | %s\n  received: %s | %s\n",
                 number, at, hexWithWildcards(s.data).c_str(),
                 s.text.substr(s.text.find(" | ") + 3).c_str(), hexBytes(got).c_str(),
                 describeMessage(got, DescribeOptions{true}).c_str());
    return false;
}

int playSteps(Replayer& replayer, const std::vector<Step>& steps, bool fast, std::FILE* out,
              const std::atomic<bool>& stop) {
    int matched = 0;
    long lastMs = steps.empty() ? 0 : steps.front().ms;
    auto lastAt = Clock::now();
    for (const Step& s : steps) {
        if (stop) return 1;
        if (s.fromDriver) {
            Bytes got;
            if (!replayer.driverFrame(got)) {
                std::fprintf(out, "replay: the driver did not send\n  expected: %s\n",
                             s.text.c_str());
                return 1;
            }
            if (!sameFrame(s, got, matched + 1, out)) return 1;
            ++matched;
        } else {
            if (!fast)
                std::this_thread::sleep_until(lastAt + std::chrono::milliseconds(s.ms - lastMs));
            if (!replayer.terminalFrame(s.seq, s.data)) {
                std::fprintf(out, "replay: the driver did not acknowledge %s\n", s.text.c_str());
                return 1;
            }
        }
        lastMs = s.ms;
        lastAt = Clock::now();
    }
    // A frame beyond the recording is a difference too.
    if (Bytes extra; !stop && replayer.driverFrame(extra, kTailWait)) {
        std::fprintf(out, "replay: the driver sent more than the recording\n  received: %s | %s\n",
                     hexBytes(extra).c_str(),
                     describeMessage(extra, DescribeOptions{true}).c_str());
        // Serves the driver until it falls quiet, so it has its ACKs before the line goes.
        for (int more = 0; more < 20 && !stop && replayer.driverFrame(extra, kTailWait); ++more) {
        }
        return 1;
    }
    std::fprintf(out, "replay: all %d frames of the driver matched\n", matched);
    return 0;
}

} // namespace

int replayTrace(PRS232_PORT* port, const std::string& tracePath, bool fast, std::FILE* out,
                const std::atomic<bool>& stop, int session) {
    Replayer replayer(port, out, stop);
    std::vector<std::vector<Step>> parts;
    std::vector<Step> steps;
    if (!readTrace(tracePath, parts, out) || !pickSession(parts, session, steps, out)) return 2;
    return playSteps(replayer, steps, fast, out, stop);
}

} // namespace tarq::sim
