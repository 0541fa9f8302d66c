// Sending side of the link over a real line, with a scripted terminal on its own thread.
// Cases that wait for the 4000 ms timer run under a stepping clock (FastLinkOverPty); one
// waits in real time to show that the clock seam is honest.
#include "tests/link/link_fixture.h"

#include <termios.h>

#include <algorithm>
#include <vector>

namespace tarq {
namespace {

using namespace test;

void ack(int fd, std::uint8_t seq) {
    writeBytes(fd, {0x06, seq});
}

TEST_F(LinkOverPty, NumbersStartWithFFThenRunFrom00ToFEAndWrap) {
    constexpr int kSends = 258;
    std::vector<std::uint8_t> seen;
    Peer peer([&] {
        while (static_cast<int>(seen.size()) < kSends) {
            const PeerMessage m = fromLink(5000);
            if (m.kind != Kind::Frame) return;
            // A retransmission (late peer on a busy machine) repeats the number; count frames.
            if (seen.empty() || seen.back() != m.seq) seen.push_back(m.seq);
            ack(master(), m.seq);
        }
    });
    for (int i = 0; i < kSends; ++i)
        ASSERT_EQ(send(text("x")), 1) << i;
    peer.join();
    std::vector<std::uint8_t> expected{0xFF};
    for (int s = 0x00; s <= 0xFE; ++s)
        expected.push_back(static_cast<std::uint8_t>(s));
    expected.push_back(0x00);
    expected.push_back(0x01);
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(int(seen[i]), int(expected[i])) << i;
}

// The terminal's replies to each transmission of one frame. kSeq stands for the frame's own
// number; every transmission must repeat the first byte for byte.
constexpr std::uint8_t kSeq = 0xAA;
struct ReplyCase {
    const char* name;
    std::vector<Bytes> replies; // per transmission
    int result;
};

class Replies : public LinkOverPty, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, ResultAndTransmissions) {
    const ReplyCase& c = GetParam();
    std::size_t frames = 0;
    Peer peer([&] {
        Bytes first;
        for (PeerMessage m; (m = fromLink(1500)).kind == Kind::Frame; ++frames) {
            if (first.empty()) first = m.raw;
            EXPECT_EQ(m.raw, first);
            Bytes reply = frames < c.replies.size() ? c.replies[frames] : Bytes{};
            std::replace(reply.begin(), reply.end(), kSeq, m.seq);
            writeBytes(master(), reply);
        }
    });
    const auto t0 = Steady::now();
    EXPECT_EQ(send(text("request")), c.result);
    EXPECT_LT(msSince(t0), 3500.0); // resent at once: the 4000 ms timer never runs out
    peer.join();
    EXPECT_EQ(frames, c.replies.size());
    EXPECT_EQ(static_cast<std::size_t>(link_->txCount), c.replies.size());
}

INSTANTIATE_TEST_SUITE_P(
    Link, Replies,
    ::testing::Values(
        ReplyCase{"WrongAckIgnoredNakResendsRightAckEnds", {{0x06, 0x42, 0x15}, {0x06, kSeq}}, 1},
        ReplyCase{"WackThenNakResendsWackThenAckEnds", {{0x13, 0x15}, {0x13, 0x06, kSeq}}, 1},
        ReplyCase{"ThreeNaksFourthTransmissionGivesUp", {{0x15}, {0x15}, {0x15}, {}}, 0}),
    [](const auto& row) { return std::string(row.param.name); });

// Terminal frames while an ACK is awaited are served and the wait goes on; one that finds
// data still waiting is held back with WACK, survives a failing frame, and is released when
// the waiting data is collected.
TEST_F(LinkOverPty, TerminalFramesDuringTheWaitServedHeldBackAndReleased) {
    std::vector<Kind> answers;
    Peer peer([&] {
        const PeerMessage mine = fromLink();
        const auto answer = [&](const Bytes& frame) {
            writeBytes(master(), frame);
            answers.push_back(fromLink().kind);
        };
        answer(buildFrame(0xFF, text("first")));
        answer(buildFrame(0x00, Bytes{})); // keep-alive while data waits: ACK
        answer(buildFrame(0x01, text("second")));
        Bytes bad = buildFrame(0x01, text("noise!"));
        bad[4] ^= 0x40;
        answer(bad);
        ack(master(), mine.seq);
    });
    ASSERT_EQ(send(text("request")), 1);
    peer.join();
    EXPECT_EQ(answers, std::vector<Kind>({Kind::Ack, Kind::Ack, Kind::Wack, Kind::Nak}));

    EXPECT_EQ(recv(), text("first"));
    const PeerMessage released = fromLink();
    EXPECT_EQ(released.kind, Kind::Ack);
    EXPECT_EQ(released.seq, 0x01);
    EXPECT_EQ(recv(), text("second"));
    EXPECT_EQ(fromLink(100).kind, Kind::None);
}

// The largest block, all escaped, fills the transmit frame exactly; one byte more (or no
// data) is refused and nothing is written.
TEST_F(LinkOverPty, LargestBlockGoesOutWholeOneMoreIsRefused) {
    EXPECT_EQ(send(Bytes(PKISS_MAX_DATA + 1, 0x41)), 0);
    EXPECT_EQ(PKISS_Send(link_, nullptr, 4), 0);
    EXPECT_EQ(PKISS_Send(nullptr, nullptr, 0), 0);
    const Bytes block(PKISS_MAX_DATA, 0x03);
    PeerMessage got;
    Peer peer([&] {
        got = fromLink();
        ack(master(), got.seq);
    });
    EXPECT_EQ(send(block), 1);
    peer.join();
    EXPECT_EQ(got.raw.size(), PKISS_FRAME_SIZE);
    EXPECT_EQ(got.raw, buildFrame(0xFF, block)); // also: nothing came before it
}

TEST_F(FastLinkOverPty, PortThatKeepsRefusingWritesStillEndsTheSend) {
    int frames = 0;
    Peer peer([&] {
        if (fromLink().kind != Kind::Frame) return;
        ++frames;
        tcflow(pty_.slave(), TCOOFF); // every further write of the driver fails
        writeBytes(master(), {0x15});
    });
    EXPECT_EQ(send(text("stuck")), 0);
    peer.join();
    tcflow(pty_.slave(), TCOON);
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(link_->txCount, MAX_NUMBER_SEND);
}

TEST_F(FastLinkOverPty, SilenceGivesFourTransmissions4000MsApartThenZero) {
    std::vector<std::int64_t> at; // link time at which each transmission was seen
    Bytes first;
    Peer peer([&] {
        for (PeerMessage m; (m = fromLink(3000)).kind == Kind::Frame;) {
            at.push_back(clock_->peek());
            if (first.empty()) first = m.raw;
            EXPECT_EQ(m.raw, first);
        }
    });
    const std::int64_t start = clock_->peek();
    EXPECT_EQ(send(text("anyone?")), 0);
    const std::int64_t end = clock_->peek();
    peer.join();
    ASSERT_EQ(at.size(), 4U);
    for (std::size_t i = 0; i < at.size(); ++i) {
        // Seen no earlier than written, and written no earlier than 4000 ms after the one before:
        // a one-sided bound that holds however late the peer thread looks.
        EXPECT_GE(at[i] - start, static_cast<std::int64_t>(4000 * i)) << i;
        EXPECT_LE(at[i], end) << i;
    }
    // The link's own clock readings are fixed by the silent reads alone: the last transmission's
    // 4000 ms are sat out too, about 16 s in all.
    EXPECT_GE(end - start, 16000);
    EXPECT_LE(end - start, 16000 + 16 * clock_->step()); // a few readings per transmission
}

TEST_F(FastLinkOverPty, WackThenSilenceGivesMinus1000AfterTheTimer) {
    Peer peer([&] {
        if (fromLink().kind == Kind::Frame) writeBytes(master(), {0x13});
    });
    const std::int64_t start = clock_->peek();
    EXPECT_EQ(send(text("busy")), PKISS_WACK_RESULT);
    const std::int64_t end = clock_->peek();
    peer.join();
    EXPECT_EQ(link_->txCount, 1);
    EXPECT_GE(end - start, 4000);
    EXPECT_LE(end - start, 4000 + 60 * clock_->step()); // at most 50 answer reads
}

TEST_F(LinkOverPty, EndlessWacksEndAfterFiftyReads) {
    Peer peer([&] {
        if (fromLink().kind != Kind::Frame) return;
        writeBytes(master(), Bytes(80, 0x13));
    });
    const auto t0 = Steady::now();
    EXPECT_EQ(send(text("busy")), PKISS_WACK_RESULT);
    EXPECT_LT(msSince(t0), 3500.0); // the 50 reads end it, not the 4000 ms timer
    peer.join();
    // 30 of the 80 WACKs are still unread.
    EXPECT_EQ(readBytes(master(), 100, 0).size(), 0U);
    std::uint8_t rest[100];
    std::uint32_t n = 100;
    PRS232_Recv(link_->port, rest, &n);
    EXPECT_EQ(n, 30U);
}

// Real time: the first transmission goes unanswered, the second one 4 s later is acknowledged.
TEST_F(LinkOverPty, UnansweredFrameGoesOutAgainAfterFourRealSeconds) {
    double gapMs = 0;
    Peer peer([&] {
        const PeerMessage first = fromLink();
        const auto t0 = Steady::now();
        const PeerMessage second = fromLink(10000);
        gapMs = msSince(t0);
        if (second.kind == Kind::Frame) ack(master(), second.seq);
    });
    EXPECT_EQ(send(text("slow")), 1);
    peer.join();
    EXPECT_GE(gapMs, 3900.0);
    EXPECT_LT(gapMs, 8000.0);
}

} // namespace
} // namespace tarq
