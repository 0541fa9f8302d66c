// A scripted terminal behind the message transport, a settable clock, recording callbacks, and
// helpers that build terminal messages: enough to drive whole dialogues without a serial line.
#pragma once

#include "core/context.h"
#include "engine/mainloop.h"
#include "core/sa.h"
#include "engine/table.h"
#include "protocol/tags.h"
#include "protocol/transport.h"
#include "tests/support/clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarq::test {

using Bytes = std::vector<std::uint8_t>;
using Tags = std::vector<std::uint8_t>;

// One element; the engine's messages stay below 256 bytes.
inline Bytes element(std::uint8_t tag, const Bytes& value = {}) {
    Bytes out{tag};
    if (value.size() >= 0x80) out.push_back(0x81);
    out.push_back(static_cast<std::uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}
inline Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// The 0xE1 envelope around the given elements.
inline Bytes message(std::initializer_list<Bytes> elements) {
    Bytes body;
    for (const auto& e : elements)
        body.insert(body.end(), e.begin(), e.end());
    return element(PTAG_MESSAGE, body);
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

// The terminal's side of the link. Queued messages are delivered one per receive; an empty inbox
// costs the link's receive wait on the settable clock. Replies can be tied to the tag of what the
// driver sends.
class ScriptedTerminal final : public PipLink {
  public:
    struct Sent {
        Bytes bytes;
        std::int64_t atMs;
    };

    explicit ScriptedTerminal(ManualClock& clock) : clock_(clock) {}

    bool present() override { return linkPresent; }

    int send(const std::uint8_t* data, std::uint32_t length) override {
        sent.push_back({Bytes(data, data + length), clock_.nowMs()});
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
        recvSizes.push_back(size);
        // An exchange that never ends is a failure, not a hung test run.
        if (recvSizes.size() > 5000 || idle_ > 1000) throw std::runtime_error("never ended");
        if (inbox.empty()) {
            clock_.advanceMs(600);
            ++idle_;
            return 0;
        }
        idle_ = 0;
        delivered.push_back({inbox.front(), clock_.nowMs()});
        inbox.pop_front();
        const Bytes& m = delivered.back().bytes;
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

    // Tags of the elements the driver sent, in order (0 for an empty envelope).
    Tags sentTags() const {
        Tags tags;
        for (const auto& s : sent)
            tags.push_back(s.bytes.size() > 2 ? s.bytes[2] : 0);
        return tags;
    }
    long countSent(std::uint8_t tag) const {
        const Tags tags = sentTags();
        return std::count(tags.begin(), tags.end(), tag);
    }

    bool linkPresent = true;
    std::deque<int> sendResults; // results of the next sends (default 1)
    std::deque<Bytes> inbox;
    std::vector<Sent> sent;
    std::vector<Sent> delivered;
    std::vector<std::uint32_t> recvSizes;

  private:
    ManualClock& clock_;
    std::map<std::uint8_t, std::deque<std::vector<Bytes>>> replies_;
    std::map<std::uint8_t, std::vector<Bytes>> always_;
    int idle_ = 0;
};

// What the cash register saw and how it answers.
struct CashRegister {
    using Lines = std::pair<std::string, std::string>;
    std::vector<Lines> displays;
    std::vector<std::string> receipts, cards;
    int cardAnswer = 1, printAnswer = 1, extCardAnswer = 0, verSigAnswer = 1;
    std::function<int(int)> abortAnswer = [](int) { return 0; }; // by call number, from 1
    int abortCalls = 0, extCardCalls = 0, verSigCalls = 0, adviceCalls = 0;

    static inline CashRegister* active = nullptr;

    void install() {
        active = this;
        ctx.trqDisplayStatus = [](const char* l1, const char* l2) {
            active->displays.emplace_back(l1, l2);
        };
        ctx.trqPrintReceipt = [](int, const char* t) {
            active->receipts.emplace_back(t);
            return active->printAnswer;
        };
        ctx.trqSetCarddata = [](const char* t) {
            active->cards.emplace_back(t);
            return active->cardAnswer;
        };
        ctx.getPosAbortEvent = [] { return active->abortAnswer(++active->abortCalls); };
        ctx.trqExtCardConfirm = [] { return ++active->extCardCalls, active->extCardAnswer; };
        ctx.trqVerSigConfirm = [] { return ++active->verSigCalls, active->verSigAnswer; };
        ctx.trqAdviceFlag = [] { ++active->adviceCalls; };
    }
    Lines lastDisplay() const { return displays.empty() ? Lines{} : displays.back(); }
};

// What the call printed; the capture is released even when the call throws.
template <class F> std::string captureStdout(F&& call) {
    ::testing::internal::CaptureStdout();
    try {
        call();
    } catch (...) {
        ::testing::internal::GetCapturedStdout();
        throw;
    }
    return ::testing::internal::GetCapturedStdout();
}

inline std::string line(const StatusLine& l) {
    return std::string(l.begin(), l.end());
}
inline void put(StatusLine& l, const std::string& s) {
    l.fill(' ');
    std::memcpy(l.data(), s.data(), std::min(s.size(), l.size()));
}

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDriverContext();
        setupStateMachine();
        SA_setStateForTest(PSTATE_OPEN); // the connection is open
        pip_setLink(&terminal);
        ecr.install();
        initGlobals();
    }
    void TearDown() override {
        pip_setLink(nullptr);
        freeCurrentEcrEvent();
        CashRegister::active = nullptr;
    }

    // What a payment call does around the engine: per-call state, state 8 built afresh, the
    // request recorded, the opening messages.
    void startPayment(int confirmExtCard = 0) {
        ctx.requestKind = 1;
        initGlobals();
        addEventArray(PSTATE_MI_CU_CARDSWIPE, initMiCucardswipe());
        ctx.abortCounter = 0;
        ctx.request.amount = ctx.request.purchaseAmount = 12345;
        ctx.request.currencyCode = 0x0242;
        ctx.request.merchIn = 'M';
        ctx.request.confirmExtCard = confirmExtCard;
        ctx.callAbortFunc = 1;
        sendCardTransaction();
    }
    int runLoop() {
        callMainLoop();
        ctx.callAbortFunc = 0;
        return ctx.gstResultData;
    }
    // An administrative command in PSTATE_OPEN.
    void startAdmin(int code) {
        ctx.requestKind = 2;
        initGlobals();
        ctx.abortCounter = 0;
        ctx.adminCode = code;
        postEvent(PEVENT_ADMIN);
    }

    ManualClock clock;
    ScopedClock scoped{clock};
    ScriptedTerminal terminal{clock};
    CashRegister ecr;
};

template <class T> std::string caseName(const ::testing::TestParamInfo<T>& info) {
    return info.param.name;
}

} // namespace tarq::test
