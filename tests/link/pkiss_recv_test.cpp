// Receiving side of the link over a real line: the terminal's frames are written to the
// master before each PKISS_Recv, and the answer is read back from it. Real clock: a frame that
// is already on the line is served without waiting for any timer.
#include "tests/link/link_fixture.h"

#include <atomic>
#include <string>
#include <vector>

namespace tarq {
namespace {

using namespace test;

Bytes withBadCrc(Bytes frame) {
    frame.back() ^= 0x01;
    return frame;
}

Bytes after(Bytes noise, const Bytes& frame) {
    noise.insert(noise.end(), frame.begin(), frame.end());
    return noise;
}

struct Step {
    Bytes wire;  // what the terminal sends before the next PKISS_Recv
    Kind answer; // what the link answers (Kind::None: nothing)
    std::uint8_t ackSeq;
    Bytes delivered; // what PKISS_Recv returns
};

struct Conversation {
    const char* name;
    std::vector<Step> steps;
};

class Conversations : public LinkOverPty, public ::testing::WithParamInterface<Conversation> {};

TEST_P(Conversations, AnswersAndDeliveries) {
    const auto& steps = GetParam().steps;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        toLink(s.wire);
        EXPECT_EQ(recv(), s.delivered);
        const PeerMessage m = fromLink(s.answer == Kind::None ? 100 : 2000);
        EXPECT_EQ(m.kind, s.answer);
        if (s.answer == Kind::Ack) {
            EXPECT_EQ(m.seq, s.ackSeq);
        }
        EXPECT_EQ(fromLink(50).kind, Kind::None) << "one answer per frame";
    }
}

const Bytes kA = text("alpha");
const Bytes kB = text("bravo");
const Bytes kC = text("charlie");
const Bytes kSpecial = {0x02, 0x03, 0x10, 0x10, 0x06, 0x15, 0x13};

INSTANTIATE_TEST_SUITE_P(
    Link, Conversations,
    ::testing::Values(
        Conversation{"FirstFrameAnyNumber", {{buildFrame(0x42, kA), Kind::Ack, 0x42, kA}}},
        Conversation{"NextRepeatAndGap",
                     {{buildFrame(0x05, kA), Kind::Ack, 0x05, kA},
                      {buildFrame(0x06, kB), Kind::Ack, 0x06, kB},
                      {buildFrame(0x06, kB), Kind::Ack, 0x06, {}},
                      {buildFrame(0x08, kC), Kind::Nak, 0, {}},
                      {buildFrame(0x07, kC), Kind::Ack, 0x07, kC}}},
        Conversation{"RepeatedFFIsNewData",
                     {{buildFrame(0xFF, kA), Kind::Ack, 0xFF, kA},
                      {buildFrame(0xFF, kB), Kind::Ack, 0xFF, kB},
                      {buildFrame(0x00, kC), Kind::Ack, 0x00, kC}}},
        Conversation{"BadCrcThenResend",
                     {{buildFrame(0x05, kA), Kind::Ack, 0x05, kA},
                      {withBadCrc(buildFrame(0x06, kB)), Kind::Nak, 0, {}},
                      {buildFrame(0x06, kB), Kind::Ack, 0x06, kB}}},
        Conversation{"KeepAliveDeliversNothing",
                     {{buildFrame(0x00, Bytes{}), Kind::Ack, 0x00, {}},
                      {buildFrame(0x01, kA), Kind::Ack, 0x01, kA},
                      {buildFrame(0x02, Bytes{}), Kind::Ack, 0x02, {}}}},
        Conversation{"EscapedBytesArriveUnchanged",
                     {{buildFrame(0x00, kSpecial), Kind::Ack, 0x00, kSpecial}}},
        Conversation{
            "NoiseGetsNoAnswerAndPrecedesAFrame",
            {{{0x41, 0x06, 0x00}, Kind::None, 0, {}},
             {after({0x41, 0x06, 0x15, 0x13, 0x03}, buildFrame(0x07, kA)), Kind::Ack, 0x07, kA}}},
        Conversation{"CutBeforeCrc",
                     {{{0x02, 0x01, 0x41, 0x03}, Kind::Nak, 0, {}},
                      {buildFrame(0x01, kA), Kind::Ack, 0x01, kA}}},
        Conversation{"LargestDeliverableBlock",
                     {{buildFrame(0x01, Bytes(1024, 0x10)), Kind::Ack, 0x01, Bytes(1024, 0x10)}}},
        Conversation{"OneByteTooManyRefusedNothingAcked",
                     {{buildFrame(0x01, Bytes(1025, 0x41)), Kind::Nak, 0, {}},
                      {buildFrame(0x01, kA), Kind::Ack, 0x01, kA}}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(LinkOverPty, BlockIsCutToTheCallersBufferNeverPastIt) {
    toLink(buildFrame(0x01, Bytes(100, 0x5A)));
    Bytes buf(64, 0xEE);
    EXPECT_EQ(PKISS_Recv(link_, buf.data(), 10), 10U);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 10), Bytes(10, 0x5A));
    EXPECT_EQ(Bytes(buf.begin() + 10, buf.end()), Bytes(54, 0xEE));
    EXPECT_EQ(fromLink().kind, Kind::Ack);
}

TEST_F(LinkOverPty, EndlessFrameIsRefusedWithoutOverrun) {
    // No ETX ever: far more bytes than any frame buffer holds, all escaped-looking.
    Bytes flood{0x02, 0x01};
    flood.insert(flood.end(), 3 * PKISS_FRAME_SIZE, 0x10);
    Peer peer([&] { writeBytes(master(), flood); });
    Bytes buf(1024 + 32, 0xEE);
    EXPECT_EQ(PKISS_Recv(link_, buf.data(), 1024), 0U);
    EXPECT_EQ(buf, Bytes(1024 + 32, 0xEE));
    EXPECT_EQ(fromLink().kind, Kind::Nak);
    EXPECT_EQ(link_->rxDataLength, 0U);
    EXPECT_EQ(link_->rxFrameLength, 0U);
}

TEST_F(LinkOverPty, LargestBlockFillsTheReceiveFrameExactly) {
    // 2048 bytes that are all escaped: the frame is as long as the receive frame.
    link_->maxDeliver = 100000; // capped at PKISS_MAX_DATA
    const Bytes block(PKISS_MAX_DATA, 0x10);
    const Bytes frame = buildFrame(0x01, block);
    ASSERT_EQ(frame.size(), PKISS_FRAME_SIZE);
    ASSERT_NE(frame[frame.size() - 1], PKISS_STX); // a stalled copy's tail starts no frame
    ASSERT_NE(frame[frame.size() - 2], PKISS_STX);
    // The frame is more than the pty holds at once; a busy machine may stall it for longer than
    // the 41 ms read time-out, so the terminal sends again after a NAK, as it would.
    Bytes delivered;
    for (int attempt = 0; attempt < 3 && delivered.empty(); ++attempt) {
        toLink(frame);
        delivered = recv(PKISS_MAX_DATA);
        const Kind answer = fromLink().kind;
        if (!delivered.empty()) {
            EXPECT_EQ(answer, Kind::Ack);
        }
    }
    EXPECT_EQ(delivered, block);
    toLink(buildFrame(0x02, Bytes(PKISS_MAX_DATA + 1, 0x41)));
    EXPECT_EQ(recv(PKISS_MAX_DATA), Bytes{});
    EXPECT_EQ(fromLink().kind, Kind::Nak);
}

// Rows of the decision on a verified frame, with the link's state set up directly.
struct BufferCase {
    const char* name;
    bool firstRecv;
    std::uint8_t last;
    Bytes waiting; // data already waiting to be collected
    std::uint8_t seq;
    Kind answer;
    Bytes waitingAfter;
    bool held;
};

class HandleBufferTable : public LinkOverPty, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(HandleBufferTable, Row) {
    const BufferCase& c = GetParam();
    if (!c.firstRecv) PKISS_ClearState(link_, PKISS_FIRST_RECV);
    link_->lastRxSeq = c.last;
    std::copy(c.waiting.begin(), c.waiting.end(), link_->rxData.begin());
    link_->rxDataLength = static_cast<std::uint32_t>(c.waiting.size());
    const Bytes frame = buildFrame(c.seq, kB);
    std::copy(frame.begin(), frame.end(), link_->rxFrame.begin());
    link_->rxFrameLength = static_cast<std::uint32_t>(frame.size());

    PKISS_HandleBuffer(link_);

    const PeerMessage m = fromLink();
    EXPECT_EQ(m.kind, c.answer);
    if (c.answer == Kind::Ack) {
        EXPECT_EQ(m.seq, c.seq);
        EXPECT_EQ(link_->lastRxSeq, c.seq);
        EXPECT_EQ(PKISS_CheckState(link_, PKISS_FIRST_RECV), 0);
    } else {
        EXPECT_EQ(link_->lastRxSeq, c.last);
    }
    EXPECT_EQ(Bytes(link_->rxData.begin(), link_->rxData.begin() + link_->rxDataLength),
              c.waitingAfter);
    EXPECT_EQ(link_->rxFrameLength, 0U);
    EXPECT_EQ(link_->heldFrameLength, c.held ? frame.size() : 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HandleBufferTable,
    ::testing::Values(
        BufferCase{"FirstReplacesWaiting", true, 0x00, kA, 0x07, Kind::Ack, kB, false},
        BufferCase{"RepeatedFFReplacesWaiting", false, 0xFF, kA, 0xFF, Kind::Ack, kB, false},
        BufferCase{"RepeatDroppedNothingWaiting", false, 0x05, {}, 0x05, Kind::Ack, {}, false},
        BufferCase{"RepeatDroppedWaitingKept", false, 0x05, kA, 0x05, Kind::Ack, kA, false},
        BufferCase{"NewDataNothingWaiting", false, 0x05, {}, 0x06, Kind::Ack, kB, false},
        BufferCase{"NewDataWhileWaitingHeld", false, 0x05, kA, 0x06, Kind::Wack, kA, true}),
    [](const auto& row) { return std::string(row.param.name); });

// Real time, to show that the port's own waits are honest.
TEST_F(LinkOverPty, SilentLineReturnsNothingAfterAbout600Ms) {
    const auto t0 = Steady::now();
    EXPECT_EQ(recv(), Bytes{});
    const double ms = msSince(t0);
    EXPECT_GE(ms, 590.0); // millisecond ticks: up to one short
    EXPECT_LT(ms, 3000.0);
}

TEST_F(LinkOverPty, PauseInsideAFrameBreaksIt) {
    const Bytes frame = buildFrame(0x01, text("a pause in the middle"));
    toLink(Bytes(frame.begin(), frame.begin() + 8));
    Peer peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        writeBytes(master(), std::span<const std::uint8_t>(frame).subspan(8));
    });
    EXPECT_EQ(recv(), Bytes{});
    peer.join();
    EXPECT_EQ(fromLink().kind, Kind::Nak);
    EXPECT_EQ(fromLink(100).kind, Kind::None);
}

TEST_F(LinkOverPty, LineThatNeverFallsSilentDoesNotHoldUpTheOpen) {
    PKISS_Delete(&link_);
    std::atomic<bool> stop{false};
    Peer noise([&] {
        const auto until = Steady::now() + std::chrono::seconds(6);
        while (!stop && Steady::now() < until) {
            writeBytes(master(), {0x55});
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto t0 = Steady::now();
    link_ = PKISS_Create(0, 115200, pty_.slaveName().c_str());
    const double ms = msSince(t0);
    stop = true;
    noise.join();
    ASSERT_NE(link_, nullptr);
    EXPECT_LT(ms, 2500.0); // 100 + about 600 + 100 ms; the noise goes on for ever
}

} // namespace
} // namespace tarq
