// The terminal's side of the transport without a line: message builders, a scripted terminal.
#pragma once

#include "core/context.h"
#include "protocol/tags.h"
#include "protocol/transport.h"
#include "tests/support/bytes.h"
#include "tests/support/clock.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarq::test {

using Tags = std::vector<std::uint8_t>;

// One element: tag, length in the shortest form, value.
inline Bytes element(std::uint8_t tag, const Bytes& value = {}) {
    const auto n = value.size();
    std::array<std::uint8_t, 4> head{tag};
    std::size_t k = 1;
    if (n >= 0x80) head[k++] = n > 0xFF ? 0x82 : 0x81;
    if (n > 0xFF) head[k++] = static_cast<std::uint8_t>(n >> 8);
    head[k++] = static_cast<std::uint8_t>(n);
    Bytes out(head.begin(), head.begin() + k);
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

// The 0xE1 envelope around the given elements.
inline Bytes message(std::initializer_list<Bytes> elements) {
    Bytes body;
    for (const auto& e : elements)
        body.insert(body.end(), e.begin(), e.end());
    return element(PTAG_MESSAGE, body);
}
// An envelope holding one element.
inline Bytes message(std::uint8_t tag, const Bytes& value) {
    return message({element(tag, value)});
}
inline Bytes status1(const std::string& s) {
    return message({element(PTAG_STATUS1, text(s))});
}
inline Bytes completed(std::uint8_t result, std::uint8_t issuer) {
    return message({element(PTAG_TRANS_COMPLETED, {result, issuer})});
}
// Card 1234567890123456=25 (ten packed bytes) with its track-2 length.
inline Bytes cardMessage() {
    Bytes card{0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0xD2, 0x5F};
    card.resize(19, 0);
    return message({element(PTAG_TERM_CARD, card), element(PTAG_TRACK2_LENGTH, {0x00, 0x0A})});
}
inline constexpr char kCardText[] = "1234567890123456=25";
inline const std::string kBlank(20, ' ');

// A display line as text, and a display line set from text (blank-padded, cut at its size).
inline std::string line(const StatusLine& l) {
    return std::string(l.begin(), l.end());
}
inline void put(StatusLine& l, const std::string& s) {
    l.fill(' ');
    std::memcpy(l.data(), s.data(), std::min(s.size(), l.size()));
}

// Queued messages go one per receive; an empty inbox costs the receive wait on the settable clock;
// a scripted silence holds a delivery back; replies can be tied to the tag the driver sends.
class ScriptedTerminal final : public PipLink {
  public:
    struct Sent {
        Bytes bytes;
        std::int64_t ms = 0; // on the settable clock
    };

    explicit ScriptedTerminal(ManualClock& clock) : clock_(clock) {}

    bool present() override { return linkPresent; }

    int send(const std::uint8_t* data, std::uint32_t length) override {
        lastMs_ = clock_.peek();
        sent.push_back({Bytes(data, data + length), clock_.peek()});
        int rc = 1;
        if (!sendResults.empty()) {
            rc = sendResults.front();
            sendResults.pop_front();
        }
        const std::uint8_t tag = length > 2 ? data[2] : 0;
        if (auto it = replies_.find(tag); it != replies_.end() && !it->second.empty()) {
            inbox.insert(inbox.end(), it->second.front().begin(), it->second.front().end());
            it->second.pop_front();
        } else if (auto always = always_.find(tag); always != always_.end()) {
            inbox.insert(inbox.end(), always->second.begin(), always->second.end());
        }
        return rc;
    }

    std::uint32_t recv(std::uint8_t* buf, std::uint32_t size) override {
        // An exchange that never ends is a failure, not a hung test run.
        if (++recvs_ > 5000 || idle_ > 1000) throw std::runtime_error("never ended");
        if (const std::int64_t hold = holdMs(); inbox.empty() || hold > 0) {
            clock_.advanceMs(hold > 0 ? std::min<std::int64_t>(hold, 600) : 600);
            ++idle_;
            return 0;
        }
        idle_ = 0;
        lastMs_ = clock_.peek();
        ++deliveries_;
        const Bytes m = std::move(inbox.front());
        inbox.pop_front();
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(m.size(), size));
        std::memcpy(buf, m.data(), n);
        return n;
    }

    // When the driver next sends an element with this tag, queue these messages (once).
    void replyTo(std::uint8_t tag, std::vector<Bytes> messages) {
        replies_[tag].push_back(std::move(messages));
    }
    // Every time the driver sends an element with this tag (after the one-shot replies).
    void alwaysReplyTo(std::uint8_t tag, std::vector<Bytes> messages) {
        always_[tag] = std::move(messages);
    }

    // The terminal holds its delivery number `delivery` (from 0) until `seconds` whole seconds
    // have passed since its last delivery or the driver's last send.
    void silenceBefore(std::size_t delivery, std::int64_t seconds) { silence_[delivery] = seconds; }

    // Tags of the elements the driver sent, in order (0 for an empty envelope).
    Tags sentTags() const {
        Tags tags;
        for (const auto& s : sent)
            tags.push_back(s.bytes.size() > 2 ? s.bytes[2] : 0);
        return tags;
    }

    bool linkPresent = true;
    std::deque<int> sendResults; // results of the next sends (default 1)
    std::deque<Bytes> inbox;
    std::vector<Sent> sent;

  private:
    ManualClock& clock_;
    std::map<std::uint8_t, std::deque<std::vector<Bytes>>> replies_;
    std::map<std::uint8_t, std::vector<Bytes>> always_;
    std::size_t recvs_ = 0, idle_ = 0, deliveries_ = 0;
    std::int64_t lastMs_ = 0;
    std::map<std::size_t, std::int64_t> silence_;

    // Milliseconds the next delivery is still held back by a scripted silence.
    std::int64_t holdMs() const {
        const auto it = silence_.find(deliveries_);
        if (it == silence_.end()) return 0;
        return std::max<std::int64_t>(0, (lastMs_ / 1000 + it->second) * 1000 - clock_.peek());
    }
};

} // namespace tarq::test
