// Frame building blocks against the published byte vectors: CRC, escaping, numbering.
#include "link/pkiss_internal.h"
#include "tests/support/pty_pair.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

namespace tarq {
namespace {

using test::Bytes;

TEST(Crc, CheckValueAndTableAgreeWithBitwiseComputation) {
    const std::string digits = "123456789";
    EXPECT_EQ(PKISS_CalcCrc(reinterpret_cast<const std::uint8_t*>(digits.data()), 9), 0xBB3DU);
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        Bytes block(rng() % 300);
        for (auto& b : block)
            b = static_cast<std::uint8_t>(rng());
        ASSERT_EQ(PKISS_CalcCrc(block.data(), static_cast<std::uint32_t>(block.size())),
                  test::crc16Arc(block))
            << "round " << round;
    }
}

struct FrameCase {
    const char* name;
    bool firstSend; // the link has not built a frame yet
    std::uint8_t previousSeq;
    Bytes data;
    Bytes frame;
};

class ExampleFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(ExampleFrames, BuiltByteForByte) {
    const FrameCase& c = GetParam();
    auto link = std::make_unique<PKISS_LINK>();
    if (!c.firstSend) PKISS_ClearState(link.get(), PKISS_FIRST_SEND);
    link->txSeq = c.previousSeq;
    PKISS_BuildFrame(link.get(), c.data.data(), static_cast<std::uint32_t>(c.data.size()));
    EXPECT_EQ(Bytes(link->txFrame.begin(), link->txFrame.begin() + link->txFrameLength), c.frame);
    EXPECT_EQ(link->txCount, 0);
    EXPECT_EQ(PKISS_CheckState(link.get(), PKISS_FIRST_SEND), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Published, ExampleFrames,
    ::testing::Values(FrameCase{"KeepAlive00", false, 0xFE, {}, {0x02, 0x00, 0x03, 0x40, 0x01}},
                      FrameCase{"KeepAliveFF", true, 0x00, {}, {0x02, 0xFF, 0x03, 0x01, 0xF1}},
                      FrameCase{"Abc01",
                                false,
                                0x00,
                                {0x61, 0x62, 0x63},
                                {0x02, 0x01, 0x61, 0x62, 0x63, 0x03, 0xEB, 0x13}},
                      FrameCase{"Escaped00",
                                false,
                                0xFF,
                                {0x02, 0x10, 0x41},
                                {0x02, 0x00, 0x10, 0x02, 0x10, 0x10, 0x41, 0x03, 0x0E, 0x04}}),
    [](const auto& row) { return std::string(row.param.name); });

struct StuffCase {
    const char* name;
    Bytes plain;
    Bytes escaped;
    bool bothWays = true; // false: only unescaping gives `plain` from `escaped`
};

class Escaping : public ::testing::TestWithParam<StuffCase> {};

TEST_P(Escaping, StuffAndUnStuff) {
    const StuffCase& c = GetParam();
    const auto count = static_cast<std::uint32_t>(c.escaped.size());
    Bytes out(count + 1, 0xEE); // one spare byte that must stay untouched
    const auto n = PKISS_UnStuff(out.data(), c.escaped.data(), count);
    EXPECT_EQ(PKISS_UnStuffedLength(c.escaped.data(), count), n);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), c.plain);
    EXPECT_EQ(out[n], 0xEE);
    if (!c.bothWays) return;
    out.assign(2 * c.plain.size() + 1, 0xEE);
    out.resize(PKISS_Stuff(out.data(), c.plain.data(), static_cast<std::uint32_t>(c.plain.size())));
    EXPECT_EQ(out, c.escaped);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Escaping,
    ::testing::Values(StuffCase{"Empty", {}, {}}, StuffCase{"Plain", {0x41, 0x00}, {0x41, 0x00}},
                      StuffCase{"Stx", {0x02}, {0x10, 0x02}},
                      StuffCase{"Etx", {0x03}, {0x10, 0x03}},
                      StuffCase{"Dle", {0x10}, {0x10, 0x10}},
                      StuffCase{"DleDle", {0x10, 0x10}, {0x10, 0x10, 0x10, 0x10}},
                      StuffCase{
                          "ControlsLeftAlone", {0x06, 0x13, 0x15, 0xFF}, {0x06, 0x13, 0x15, 0xFF}},
                      StuffCase{"Mixed",
                                {0x41, 0x02, 0x03, 0x10, 0x42},
                                {0x41, 0x10, 0x02, 0x10, 0x03, 0x10, 0x10, 0x42}},
                      StuffCase{"DleAtEnd", {0x41, 0x10}, {0x41, 0x10, 0x10}},
                      StuffCase{"LoneDleAtEndYieldsNothing", {0x41}, {0x41, 0x10}, false},
                      StuffCase{"DleTakesAnyByte", {0x41, 0x06}, {0x10, 0x41, 0x10, 0x06}, false}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(NewSeq, CountsUpAndWrapsAfterFE) {
    const std::pair<std::uint8_t, std::uint8_t> rows[] = {
        {0x00, 0x01}, {0x7F, 0x80}, {0xFD, 0xFE}, {0xFE, 0x00}, {0xFF, 0x00}};
    for (auto [from, to] : rows) {
        std::uint8_t seq = from;
        EXPECT_EQ(PKISS_NewSeq(&seq), to) << int(from);
        EXPECT_EQ(seq, to);
    }
}

struct SeqCase {
    const char* name;
    bool firstRecv;
    std::uint8_t last;
    std::uint8_t seq;
    int acceptable;
};

class SequenceRules : public ::testing::TestWithParam<SeqCase> {};

TEST_P(SequenceRules, Verdict) {
    const SeqCase& c = GetParam();
    auto link = std::make_unique<PKISS_LINK>();
    if (!c.firstRecv) PKISS_ClearState(link.get(), PKISS_FIRST_RECV);
    link->lastRxSeq = c.last;
    EXPECT_EQ(PKISS_VerifySeq(link.get(), c.seq), c.acceptable);
}

INSTANTIATE_TEST_SUITE_P(Rows, SequenceRules,
                         ::testing::Values(SeqCase{"FirstFrameAnyNumber", true, 0x00, 0x42, 1},
                                           SeqCase{"FirstFrameFF", true, 0x00, 0xFF, 1},
                                           SeqCase{"FFAfterAnything", false, 0x42, 0xFF, 1},
                                           SeqCase{"FFAfterFF", false, 0xFF, 0xFF, 1},
                                           SeqCase{"ZeroAfterFE", false, 0xFE, 0x00, 1},
                                           SeqCase{"ZeroAfterFF", false, 0xFF, 0x00, 1},
                                           SeqCase{"ZeroAfterFD", false, 0xFD, 0x00, 0},
                                           SeqCase{"Repetition", false, 0x05, 0x05, 1},
                                           SeqCase{"Next", false, 0x05, 0x06, 1},
                                           SeqCase{"SkipOne", false, 0x05, 0x07, 0},
                                           SeqCase{"Previous", false, 0x05, 0x04, 0},
                                           SeqCase{"OneAfterFF", false, 0xFF, 0x01, 0},
                                           SeqCase{"FEAfterFD", false, 0xFD, 0xFE, 1}),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace tarq
