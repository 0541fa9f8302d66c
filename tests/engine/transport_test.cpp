// The message transport: sizes handed to the link, WACK repetitions, the receive walk.
#include "engine_fixture.h"

#include "protocol/parser.h"

#include <array>

namespace tarq::test {
namespace {

// The send buffer as the sender fills it: blanks behind the message.
std::array<std::uint8_t, PIP_SEND_SIZE> blankFilled(const Bytes& msg) {
    std::array<std::uint8_t, PIP_SEND_SIZE> buf;
    buf.fill(0x20);
    std::copy(msg.begin(), msg.end(), buf.begin());
    return buf;
}

TEST_F(EngineTest, SendRepeatsWhileTheTerminalSaysWaitWithTwoSecondPauses) {
    constexpr int W = -1000; // WACK
    struct Case {
        std::vector<int> linkResults;
        int result;
        std::size_t sends;
    };
    const Case cases[] = {
        {{1}, 1, 1},          {{0}, 0, 1},
        {{W, 1}, 1, 2},       {{W, W, 0}, 0, 3},
        {{W, W, W, W}, W, 4}, {{W, W, W, W, W}, W, 4}, // three repetitions at most
    };
    const Bytes mi{0xE1, 0x03, 0xC4, 0x01, 'M'};
    auto buf = blankFilled(mi);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.linkResults.size());
        terminal.sendResults.assign(c.linkResults.begin(), c.linkResults.end());
        terminal.sent.clear();
        const std::int64_t start = clock.nowMs();
        const std::int64_t slept = clock.totalSleptMs();
        EXPECT_EQ(pip_send_tlv(buf.data()), c.result);
        ASSERT_EQ(terminal.sent.size(), c.sends);
        for (std::size_t i = 0; i < c.sends; ++i) {
            EXPECT_EQ(terminal.sent[i].bytes, mi); // the message, not the blanks behind it
            EXPECT_EQ(terminal.sent[i].atMs - start, static_cast<std::int64_t>(2000 * i)) << i;
        }
        EXPECT_EQ(clock.totalSleptMs() - slept, static_cast<std::int64_t>(2000 * (c.sends - 1)));
    }
    // A buffer without an object is not sent at all.
    terminal.sent.clear();
    EXPECT_EQ(pip_send_tlv(blankFilled({}).data()), 0);
    EXPECT_TRUE(terminal.sent.empty());
}

TEST_F(EngineTest, WithoutALinkNothingIsSentOrReceived) {
    SA_ANSWER close{PANSWER_CLOSE, PSTATE_OPEN, 1};
    terminal.linkPresent = false;
    auto buf = blankFilled({0xE1, 0x02, 0xC1, 0x00});
    EXPECT_EQ(pip_send_tlv(buf.data()), 0);
    std::array<std::uint8_t, PIP_RECV_SIZE> rx{};
    EXPECT_EQ(pip_receive(rx.data()), -1);
    EXPECT_EQ(getECREvent(), nullptr);
    EXPECT_EQ(sendEvent(&close), 0);
    EXPECT_TRUE(terminal.sent.empty());
    EXPECT_TRUE(terminal.recvSizes.empty());

    // The default link is absent while no connection is open.
    pip_setLink(nullptr);
    ASSERT_EQ(ctx.pKiss, nullptr);
    EXPECT_EQ(sendEvent(&close), 0);
    EXPECT_EQ(getECREvent(), nullptr);
    EXPECT_EQ(ctx.receivedLength, -1);
}

TEST_F(EngineTest, ReceiveChecksTheFirstObjectOfTheBlock) {
    const std::pair<Bytes, int> cases[] = {
        {{}, -1},
        {{0xE1}, -1},
        {{0xE1, 0x00}, 2},
        {{0xE1, 0x05, 0xC0, 0x00}, -1},
        {{0xE1, 0x02, 0xC0, 0x00, 0xC1, 0x00}, 4},
    };
    for (const auto& [block, size] : cases) {
        SCOPED_TRACE(block.size());
        if (!block.empty()) terminal.inbox.push_back(block);
        terminal.recvSizes.clear();
        std::array<std::uint8_t, PIP_RECV_SIZE> rx{};
        EXPECT_EQ(pip_receive(rx.data()), size);
        EXPECT_EQ(terminal.recvSizes, std::vector<std::uint32_t>{PIP_RECV_SIZE});
    }
}

TEST_F(EngineTest, EveryDeliveredMessageCountsAsActivity) {
    ctx.lastTerminalActivity = 42;
    EXPECT_EQ(getECREvent(), nullptr); // nothing came
    EXPECT_EQ(ctx.receivedLength, -1);
    EXPECT_EQ(ctx.lastTerminalActivity, 42);

    // An empty envelope, and a root that is no envelope and is not interpreted: no event.
    for (const Bytes& block : {Bytes{0xE1, 0x00}, Bytes{0xC0, 0x00}}) {
        ctx.lastTerminalActivity = 42;
        terminal.inbox.push_back(block);
        EXPECT_EQ(captureStdout([] { EXPECT_EQ(getECREvent(), nullptr); }), "");
        EXPECT_EQ(ctx.receivedLength, 2);
        EXPECT_EQ(ctx.lastTerminalActivity, nowSeconds());
    }
}

TEST_F(EngineTest, NestedConstructedObjectsAreWalkedInMessageOrder) {
    terminal.inbox.push_back({0xE1, 0x06, 0xE2, 0x02, 0xC0, 0x00, 0xC1, 0x00});
    SA_EVENT* event = nullptr;
    EXPECT_EQ(captureStdout([&] { event = getECREvent(); }), "PTAG_TERM_OPEN\nPTAG_TERM_CLOSE\n");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->event_id, PEVENT_CLOSE); // the last element wins
    EXPECT_EQ(ctx.receivedLength, 8);
}

TEST_F(EngineTest, SendEventSendsAndStampsOnlyRealAnswers) {
    ctx.lastSendTime = 7;
    SA_ANSWER none{PANSWER_NONE, PSTATE_OPEN, 1};
    EXPECT_EQ(sendEvent(&none), 0);
    EXPECT_EQ(sendEvent(nullptr), 0);
    EXPECT_TRUE(terminal.sent.empty());
    EXPECT_EQ(ctx.lastSendTime, 7);

    clock.advanceMs(3000);
    SA_ANSWER mi{PANSWER_MI, PSTATE_OPEN, 1};
    EXPECT_EQ(sendEvent(&mi), 1);
    EXPECT_EQ(terminal.sentTags(), Tags{PTAG_MI});
    EXPECT_EQ(ctx.lastSendTime, nowSeconds());

    // The longest answer, the 81-byte card record, fits the send buffer.
    ctx.request.transactionType = -1;
    SA_ANSWER record{PANSWER_NORTRANS, PSTATE_MI_CU, 1};
    EXPECT_EQ(sendEvent(&record), 1);
    EXPECT_EQ(terminal.sent.back().bytes.size(), 85u);
    EXPECT_EQ(terminal.sentTags().back(), PTAG_NORTRANS_CARD);
}

} // namespace
} // namespace tarq::test
