// The link over a real line, the test as the terminal: its frames answered and delivered (`Serve`
// takes one frame, as a send does), its replies decide a send; a new link's first frame is 0xFF.
#include "link/wiretap.h"
#include "tests/link/link_fixture.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <tuple>
#include <vector>

// Blocks freed while a test looks are searched, as a later memory scan would (not under ASan).
static std::atomic<const tarq::test::Bytes*> lookForFreed{nullptr};
static std::atomic<int> foundFreed{0};
#ifndef __SANITIZE_ADDRESS__
void operator delete(void* p) noexcept {
    const auto *b = static_cast<const std::uint8_t*>(p), *end = b + (p ? malloc_usable_size(p) : 0);
    if (const auto* m = lookForFreed.load(); m && std::search(b, end, m->begin(), m->end()) != end)
        ++foundFreed;
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    ::operator delete(p);
}
#endif

namespace tarq {
namespace {

using namespace test;

enum class Op { Recv, Serve };
using Step = std::tuple<Bytes, Op, Bytes, Bytes>; // sent, operation, answer, delivered
struct Conversation {
    const char* name;
    std::vector<Step> steps;
    std::vector<FrameFault> refusals{}; // why each NAK, where checked
};
std::vector<FrameFault> refused; // as the tap reports them

class Conversations : public LinkOverPty, public ::testing::WithParamInterface<Conversation> {};

void noteRefusal(TapEvent e, const std::uint8_t*, std::uint32_t, int n) {
    if (e == TapEvent::FrameBad) refused.push_back(static_cast<FrameFault>(n));
}

TEST_P(Conversations, AnswersAndDeliveries) {
    refused.clear();
    tapSink = noteRefusal;
    int i = 0;
    for (const auto& [wire, op, answer, delivered] : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(i++));
        toLink(wire);
        if (op == Op::Recv) {
            EXPECT_EQ(recv(), delivered);
        } else if (PKISS_RecvSTX(link_, 2000) == 1) {
            PKISS_HandleIframe(link_);
        }
        EXPECT_EQ(readBytes(master(), 16, 100), answer); // written before the call returned
    }
    tapSink = nullptr;
    EXPECT_EQ(refused, GetParam().refusals.empty() ? refused : GetParam().refusals);
}

const auto badCrc = [](Bytes f) { return f.back() ^= 0x01, f; };
const auto F = [](std::uint8_t seq, const char* data) { return buildFrame(seq, text(data)); };
const auto ack = [](std::uint8_t seq) { return Bytes{0x06, seq}; };
const Bytes kSpecial = {0x02, 0x03, 0x10, 0x10, 0x06, 0x15, 0x13}, NAK = {0x15}, WACK = {0x13},
            kEscaped = join({0x02}, Bytes(1023, 0x10));
constexpr Op R = Op::Recv, S = Op::Serve;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Link, Conversations, ::testing::Values(
    Conversation{"NumbersDamageNoiseEscapesAndSize", {
        {F(0x05, "a"), R, ack(0x05), text("a")}, {F(0x06, "b"), R, ack(0x06), text("b")},
        {F(0x06, "b"), R, ack(0x06), {}}, {F(0x08, "c"), R, NAK, {}},
        {badCrc(F(0x07, "c")), R, NAK, {}},
        {{0x02, 0x07, 0x41, 0x03}, R, NAK, {}}, // cut before the CRC
        {F(0x07, "c"), R, ack(0x07), text("c")},
        {{0x41, 0x06, 0x00}, R, {}, {}}, // noise gets no answer
        {join({0x06, 0x15, 0x13, 0x03}, buildFrame(8, kSpecial)), R, ack(8), kSpecial},
        {buildFrame(9, join({0x02}, Bytes(1024, 0x41))), R, NAK, {}}, // the caller takes 1024
        {buildFrame(9, kEscaped), R, ack(9), kEscaped}}, // 1024 bytes however the escapes pair
        {FrameFault::outOfSequence, FrameFault::badChecksum, FrameFault::cutOff,
         FrameFault::tooLong}},
    Conversation{"RepeatedFFIsNewData", {
        {F(0xFF, "a"), R, ack(0xFF), text("a")}, {F(0xFF, "b"), R, ack(0xFF), text("b")},
        {F(0x00, "c"), R, ack(0x00), text("c")}}},
    // Data waiting: a keep-alive is acked, new data held back with WACK (past a damaged frame)
    // until collecting the waiting block releases it.
    Conversation{"WaitingDataHoldsTheNextFrameBack", {
        {F(0x05, "a"), S, ack(0x05), {}}, {buildFrame(0x06, Bytes{}), S, ack(0x06), {}},
        {F(0x07, "b"), S, WACK, {}}, {badCrc(F(0x07, "x")), S, NAK, {}},
        {{}, R, ack(0x07), text("a")}, {{}, R, {}, text("b")}}},
    Conversation{"FFAfterOtherNumbersIsHeldBackToo", {
        {F(0x05, "a"), S, ack(0x05), {}}, {F(0xFF, "b"), S, WACK, {}},
        {{}, R, ack(0xFF), text("a")}, {{}, R, {}, text("b")}}},
    // The terminal's new link: its data replaces what waits (the old link's held frame too).
    Conversation{"RestartDropsTheHeldFrame", {
        {F(0xFF, "a"), S, ack(0xFF), {}}, {F(0x00, "b"), S, WACK, {}},
        {F(0xFF, "c"), S, ack(0xFF), {}}, {{}, R, {}, text("c")},
        {F(0x00, "d"), R, ack(0x00), text("d")}}}),
    rowName);
// clang-format on

TEST_F(LinkOverPty, ReceiveSizeLimits) {
    toLink(buildFrame(0x01, Bytes(100, 0x5A)));
    Bytes buf(64, 0xEE); // the caller's buffer limit: cut, never overrun
    EXPECT_EQ(PKISS_Recv(link_, buf.data(), 10), 10U);
    EXPECT_EQ(buf, join(Bytes(10, 0x5A), Bytes(54, 0xEE)));
    link_->maxDeliver = 100000;    // capped at the 2048 bytes a frame carries
    const Bytes block(2048, 0x10); // every byte escaped: 4101 bytes of frame
    Bytes got; // more than the pty holds at once: sent again after a NAK on a loaded machine
    for (int attempt = 0; attempt < 3 && got.empty(); ++attempt) {
        toLink(buildFrame(0x02, block));
        got = recv(2048);
    }
    EXPECT_EQ(got, block);
    toLink(buildFrame(0x03, Bytes(2049, 0x41)));
    EXPECT_EQ(recv(2048), Bytes{});
    tapSink = noteRefusal; // more than the frame buffer holds: read to its end, refused as such
    for (int attempt = 0; attempt < 3 && refused != std::vector{FrameFault::tooLong}; ++attempt) {
        refused.clear(); // sent again when a loaded machine paused the writer: cut off
        const Bytes frame = buildFrame(4, Bytes(PKISS_FRAME_SIZE, 0x41));
        std::thread big([&] { writeBytes(master(), frame); });
        EXPECT_EQ(recv(PKISS_MAX_DATA), Bytes{});
        big.join();
    }
    tapSink = nullptr;
    EXPECT_EQ(refused, std::vector{FrameFault::tooLong});
    std::thread flood([&] { writeBytes(master(), Bytes(3 * PKISS_FRAME_SIZE, 0x10)); });
    toLink({0x02, 0x03}); // no ETX ever: far more than any frame buffer holds
    EXPECT_EQ(recv(), Bytes{});
    flood.join();
}

struct ReplyCase {
    const char* name;
    std::vector<Bytes> replies; // the terminal's reply to each transmission
    int result;
};

class Replies : public LinkOverPty, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, ResultAndTransmissions) {
    const ReplyCase& c = GetParam();
    std::size_t frames = 0;
    std::thread peer([&] {
        Bytes first;
        for (PeerMessage m; (m = fromLink(1500)).kind != Kind::None;) {
            if (m.kind != Kind::Frame) continue; // the link's answer to a frame of ours
            if (first.empty()) first = m.raw;
            EXPECT_EQ(m.raw, first); // a retransmission is the same frame
            writeBytes(master(), frames < c.replies.size() ? c.replies[frames] : Bytes{});
            ++frames;
        }
    });
    static int gaveUp = 0; // the sendings the trace reports once the link gives up
    gaveUp = 0;
    tapSink = +[](TapEvent e, const std::uint8_t*, std::uint32_t, int n) {
        if (e == TapEvent::GaveUp) gaveUp = n;
    };
    const auto t0 = Steady::now();
    EXPECT_EQ(send(text("request")), c.result);
    EXPECT_LT(msSince(t0), 3500.0); // resent at once: the 4000 ms timer never runs out
    tapSink = nullptr;
    EXPECT_EQ(gaveUp, c.result == 0 ? MAX_NUMBER_SEND : 0);
    peer.join();
    EXPECT_EQ(frames, c.replies.size());
    EXPECT_EQ(std::size_t{link_->txCount}, c.replies.size());
}

INSTANTIATE_TEST_SUITE_P(
    Link, Replies,
    ::testing::Values(
        ReplyCase{"WrongAckIgnoredNakResendsRightAckEnds", {{6, 0x42, 0x15}, {6, 0xFF}}, 1},
        ReplyCase{"WackNakResendsWackAckEnds", {{0x13, 0x15}, {0x13, 6, 0xFF}}, 1},
        ReplyCase{"ThreeNaksFourthTransmissionGivesUp", {NAK, NAK, NAK, {}}, 0},
        ReplyCase{"FortyNineWacksThenTheAckEnds", {join(Bytes(49, 0x13), {6, 0xFF})}, 1},
        ReplyCase{"FiftyWacksEndTheWait", {join(Bytes(50, 0x13), {6, 0xFF})}, PKISS_WACK_RESULT}),
    rowName);

TEST_F(LinkOverPty, SendSizeLimitAndServedFrameDelivered) {
    EXPECT_EQ(send(Bytes(PKISS_MAX_DATA + 1, 0x41)), 0); // refused, nothing written
    EXPECT_EQ(PKISS_Send(link_, nullptr, 1), 0);         // the same
    EXPECT_EQ(PKISS_Send(nullptr, nullptr, 0), 0);       // no link (closed): not sent
    toLink(buildFrame(0x41, text("x"))); // a frame taken first: the first sent still carries FF
    EXPECT_EQ(recv(), text("x"));
    EXPECT_EQ(readBytes(master(), 16, 100), ack(0x41));
    const Bytes block(PKISS_MAX_DATA, 0x03), card = text("4711000011112222=2512");
    const Bytes first = text("a block longer than the card");
    PeerMessage got;
    static std::vector<int> seen; // an ACK cut off before its number is reported without one
    tapSink = +[](TapEvent, const std::uint8_t*, std::uint32_t, int n) { seen.push_back(n); };
    std::thread peer([&] { // served meanwhile: a block, one held back (WACK), a damaged one (NAK)
        got = fromLink();
        writeBytes(master(), Bytes{0x06});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        writeBytes(master(), join(join(join(buildFrame(0x42, first), buildFrame(0x43, card)),
                                       badCrc(buildFrame(0x44, join(card, card)))),
                                  ack(got.seq)));
    });
    EXPECT_EQ(send(block), 1);
    peer.join();
    tapSink = nullptr;
    EXPECT_EQ(seen, (std::vector<int>{1, -1, 0x42, 0, 3, 0xFF})); // sent, ACK, 3 served, ACK
    EXPECT_EQ(got.raw, buildFrame(0xFF, block)); // all 4101 bytes, nothing before them
    const auto zero = [](const auto& b) {
        return std::count(b.begin(), b.end(), 0) == std::ssize(b);
    };
    // Card data, maybe: no copy stays of a frame sent, refused or released, nor of a block taken.
    EXPECT_TRUE(zero(link_->txFrame) && zero(link_->rxFrame) && link_->rxFrameLength == 0);
    EXPECT_EQ(recv(), first);
    EXPECT_TRUE(zero(link_->rxFrame) && zero(link_->heldFrame));
    EXPECT_EQ(Bytes(link_->rxData.begin(), link_->rxData.begin() + 32), join(card, Bytes(11, 0)));
    toLink(join({0x41}, card)); // read ahead; one byte taken
    std::uint8_t byte = 0;
    PKISS_RecvSeq(link_, &byte);
    lookForFreed = &card; // the block waiting and the bytes read ahead go with the link
    PKISS_Delete(&link_);
    lookForFreed = nullptr;
    EXPECT_EQ(foundFreed, 0);
}

// Stepping clock: settling 100 ms around the drain; silence: 4 sends 4000 ms apart; a WACK: -1000.
TEST_F(LinkOverPty, SilenceAfterATransmission) {
    ManualClock clock(7'000'000'000, 250); // every reading moves it on by 250 ms
    ScopedClock scope(clock);
    PKISS_Delete(&link_); // created again: 100 ms to settle, one silent read to drain, 100 ms
    const std::int64_t created = clock.peek();
    link_ = PKISS_Create(0, 115200, pty_.slaveName().c_str());
    EXPECT_EQ(clock.peek() - created, 100 + clock.step() + 100);
    toLink({0x41, 0x42}); // noise is drained a byte a read: a reading for each, one to start
    const std::int64_t drain = clock.peek();
    PKISS_ComCleanup(link_);
    EXPECT_EQ(clock.peek() - drain, 3 * clock.step());
    const std::tuple<Bytes, int, std::size_t> rows[] = {{{}, 0, 4}, {WACK, PKISS_WACK_RESULT, 1}};
    for (const auto& [reply, result, transmissions] : rows) {
        std::vector<std::int64_t> at; // link time at which each transmission was seen
        std::thread peer([&] {        // an extra transmission would show in the time taken
            while (at.size() < transmissions && fromLink(5000).kind == Kind::Frame) {
                at.push_back(clock.peek());
                writeBytes(master(), at.size() == 1 ? reply : Bytes{});
            }
        });
        const std::int64_t start = clock.peek();
        EXPECT_EQ(PKISS_Send(link_, nullptr, 0), result); // an empty frame is sent as well
        const std::int64_t took = clock.peek() - start;
        peer.join();
        ASSERT_EQ(at.size(), transmissions);
        for (std::size_t i = 0; i < at.size(); ++i) // one-sided: the peer may look late
            EXPECT_GE(at[i] - start, static_cast<std::int64_t>(4000 * i)) << i;
        EXPECT_GE(took, 4000 * std::int64_t(transmissions)); // the last 4000 ms are sat out too
        EXPECT_LE(took, 4000 * std::int64_t(transmissions) + 60 * clock.step());
    }
    EXPECT_EQ(link_->txSeq, 0x00); // the second send numbered its frame on
}

// Real time, generous bounds. A silent line, then a hung-up one: each receive sleeps its 600 ms.
TEST_F(LinkOverPty, IdleAndHungUpLinesWaitWithoutSpinning) {
    const auto cpuMs = [] { return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC; };
    for (bool hungUp : {false, true}) {
        if (hungUp) pty_.hangUp();
        const double cpu0 = cpuMs();
        const auto t0 = Steady::now();
        EXPECT_EQ(recv(), Bytes{});
        const double wall = msSince(t0);
        EXPECT_GE(wall, 590.0);
        EXPECT_LT(wall, 3000.0);
        EXPECT_LT(cpuMs() - cpu0, wall / 4) << "hung up: " << hungUp;
    }
    EXPECT_EQ(send(text("anyone?")), 0); // fails at once
}

} // namespace
} // namespace tarq
