// The message transport: sizes handed to the link, WACK repetitions, the receive walk.
#include "engine_fixture.h"

#include "protocol/parser.h"

#include <array>

namespace tarq::test {
namespace {

class TransportTest : public EngineTest {
  protected:
    // The send buffer as the sender fills it: blanks behind the message.
    static std::array<std::uint8_t, PIP_SEND_SIZE> blankFilled(const Bytes& msg) {
        std::array<std::uint8_t, PIP_SEND_SIZE> buf;
        buf.fill(0x20);
        std::copy(msg.begin(), msg.end(), buf.begin());
        return buf;
    }
};

TEST_F(TransportTest, SendsOnlyTheMessageNotTheBlanksBehindIt) {
    auto buf = blankFilled({0xE1, 0x02, 0xC0, 0x00});
    EXPECT_EQ(pip_send_tlv(buf.data()), 1);
    ASSERT_EQ(terminal.sent.size(), 1u);
    EXPECT_EQ(terminal.sent[0].bytes, (Bytes{0xE1, 0x02, 0xC0, 0x00}));
}

struct WackCase {
    const char* name;
    std::vector<int> linkResults;
    int expectedResult;
    std::size_t expectedSends;
};

class WackTest : public TransportTest, public ::testing::WithParamInterface<WackCase> {};

TEST_P(WackTest, RepeatsWhileTheTerminalSaysWaitWithTwoSecondPauses) {
    const auto& c = GetParam();
    terminal.sendResults.assign(c.linkResults.begin(), c.linkResults.end());
    auto buf = blankFilled({0xE1, 0x03, 0xC4, 0x01, 'M'});
    const std::int64_t start = clock.nowMs();

    EXPECT_EQ(pip_send_tlv(buf.data()), c.expectedResult);

    ASSERT_EQ(terminal.sent.size(), c.expectedSends);
    for (std::size_t i = 0; i < terminal.sent.size(); ++i) {
        EXPECT_EQ(terminal.sent[i].bytes, (Bytes{0xE1, 0x03, 0xC4, 0x01, 'M'}));
        // A pause of 2000 ms before each repetition, none before the first send.
        EXPECT_EQ(terminal.sent[i].atMs - start, static_cast<std::int64_t>(2000 * i)) << i;
    }
    EXPECT_EQ(clock.totalSleptMs(), static_cast<std::int64_t>(2000 * (c.expectedSends - 1)));
}

INSTANTIATE_TEST_SUITE_P(
    Results, WackTest,
    ::testing::Values(WackCase{"Ack", {1}, 1, 1}, WackCase{"Nak", {0}, 0, 1},
                      WackCase{"WackThenAck", {-1000, 1}, 1, 2},
                      WackCase{"WackThenGiveUp", {-1000, -1000, 0}, 0, 3},
                      WackCase{"WackFourTimes", {-1000, -1000, -1000, -1000}, -1000, 4},
                      // The fifth WACK is never asked for: three repetitions at most.
                      WackCase{"WackForever", {-1000, -1000, -1000, -1000, -1000}, -1000, 4}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(TransportTest, WithoutALinkNothingIsSentOrReceived) {
    terminal.linkPresent = false;
    auto buf = blankFilled({0xE1, 0x02, 0xC1, 0x00});
    EXPECT_EQ(pip_send_tlv(buf.data()), 0);
    std::array<std::uint8_t, PIP_RECV_SIZE> rx{};
    EXPECT_EQ(pip_receive(rx.data()), -1);
    EXPECT_EQ(getECREvent(), nullptr);
    EXPECT_TRUE(terminal.sent.empty());
    EXPECT_TRUE(terminal.recvSizes.empty());

    SA_ANSWER close{PANSWER_CLOSE, PSTATE_OPEN, 1};
    EXPECT_EQ(sendEvent(&close), 0);
}

TEST_F(TransportTest, TheDefaultLinkIsAbsentWhileNoConnectionIsOpen) {
    pip_setLink(nullptr);
    ASSERT_EQ(ctx.pKiss, nullptr);
    SA_ANSWER close{PANSWER_CLOSE, PSTATE_OPEN, 1};
    EXPECT_EQ(sendEvent(&close), 0);
    EXPECT_EQ(getECREvent(), nullptr);
    EXPECT_EQ(ctx.receivedLength, -1);
}

TEST_F(TransportTest, MalformedSendBufferIsNotSent) {
    std::array<std::uint8_t, PIP_SEND_SIZE> buf;
    buf.fill(0x20); // no object at all
    EXPECT_EQ(pip_send_tlv(buf.data()), 0);
    EXPECT_TRUE(terminal.sent.empty());
}

struct ReceiveCase {
    const char* name;
    Bytes block;
    int expectedSize;
};

class ReceiveTest : public TransportTest, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(ReceiveTest, ChecksTheFirstObjectOfTheBlock) {
    const auto& c = GetParam();
    if (!c.block.empty()) terminal.inbox.push_back(c.block);
    std::array<std::uint8_t, PIP_RECV_SIZE> rx{};
    EXPECT_EQ(pip_receive(rx.data()), c.expectedSize);
    ASSERT_EQ(terminal.recvSizes.size(), 1u);
    EXPECT_EQ(terminal.recvSizes[0], PIP_RECV_SIZE); // the link learns the buffer's size
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ReceiveTest,
    ::testing::Values(ReceiveCase{"Nothing", {}, -1}, ReceiveCase{"OneByte", {0xE1}, -1},
                      ReceiveCase{"EmptyEnvelope", {0xE1, 0x00}, 2},
                      ReceiveCase{"NoEnvelope", {0xC0, 0x00}, 2},
                      ReceiveCase{"Truncated", {0xE1, 0x05, 0xC0, 0x00}, -1},
                      ReceiveCase{"TrailingBytesIgnored", {0xE1, 0x02, 0xC0, 0x00, 0xC1, 0x00}, 4}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(TransportTest, NothingReceivedLeavesTheActivityStampAlone) {
    ctx.lastTerminalActivity = 42;
    EXPECT_EQ(getECREvent(), nullptr);
    EXPECT_EQ(ctx.receivedLength, -1);
    EXPECT_EQ(ctx.lastTerminalActivity, 42);
}

TEST_F(TransportTest, EveryDeliveredMessageCountsAsActivityEvenWithoutAnEvent) {
    for (const Bytes& block : {Bytes{0xE1, 0x00}, Bytes{0xC0, 0x00}}) {
        ctx.lastTerminalActivity = 42;
        terminal.inbox.push_back(block);
        EXPECT_EQ(getECREvent(), nullptr);
        EXPECT_EQ(ctx.receivedLength, 2);
        EXPECT_EQ(ctx.lastTerminalActivity, nowSeconds());
    }
}

TEST_F(TransportTest, NonEnvelopeRootIsNotInterpreted) {
    terminal.inbox.push_back({0xC0, 0x00});
    StdoutCapture capture;
    EXPECT_EQ(getECREvent(), nullptr);
    EXPECT_EQ(capture.take().find("PTAG_TERM_OPEN"), std::string::npos);
}

TEST_F(TransportTest, NestedConstructedObjectsAreWalkedInMessageOrder) {
    terminal.inbox.push_back({0xE1, 0x06, 0xE2, 0x02, 0xC0, 0x00, 0xC1, 0x00});
    StdoutCapture capture;
    SA_EVENT* event = getECREvent();
    const std::string out = capture.take();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->event_id, PEVENT_CLOSE); // the last element wins
    EXPECT_EQ(out, "PTAG_TERM_OPEN\nPTAG_TERM_CLOSE\n");
    EXPECT_EQ(ctx.receivedLength, 8);
}

TEST_F(TransportTest, AnswerIsEncodedSentAndStamped) {
    ctx.request.merchIn = 'Q';
    ctx.lastSendTime = 0;
    SA_ANSWER mi{PANSWER_MI, PSTATE_OPEN, 1};
    EXPECT_EQ(sendEvent(&mi), 1);
    ASSERT_EQ(terminal.sent.size(), 1u);
    EXPECT_EQ(terminal.sent[0].bytes, (Bytes{0xE1, 0x03, 0xC4, 0x01, 'Q'}));
    EXPECT_EQ(ctx.lastSendTime, nowSeconds());
}

TEST_F(TransportTest, NoAnswerMeansNothingSentAndNoStamp) {
    ctx.lastSendTime = 7;
    SA_ANSWER none{PANSWER_NONE, PSTATE_OPEN, 1};
    EXPECT_EQ(sendEvent(&none), 0);
    EXPECT_EQ(sendEvent(nullptr), 0);
    EXPECT_TRUE(terminal.sent.empty());
    EXPECT_EQ(ctx.lastSendTime, 7);
}

TEST_F(TransportTest, LongestAnswerFitsTheSendBuffer) {
    ctx.request.transactionType = -1; // the 81-byte card record
    SA_ANSWER tr{PANSWER_NORTRANS, PSTATE_MI_CU, 1};
    EXPECT_EQ(sendEvent(&tr), 1);
    ASSERT_EQ(terminal.sent.size(), 1u);
    EXPECT_EQ(terminal.sent[0].bytes.size(), 85u);
    EXPECT_EQ(terminal.sent[0].bytes[2], PTAG_NORTRANS_CARD);
}

} // namespace
} // namespace tarq::test
