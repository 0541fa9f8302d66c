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

TEST(Crc, CheckValueOfTheDigitString) {
    const std::string digits = "123456789";
    const auto* p = reinterpret_cast<const std::uint8_t*>(digits.data());
    EXPECT_EQ(PKISS_CalcCrc(p, 9), 0xBB3DU);
    EXPECT_EQ(PKISS_CalcCrc(p, 0), 0U);
}

TEST(Crc, TableAgreesWithBitwiseComputationOnRandomBlocks) {
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
    const Bytes built(link->txFrame.begin(), link->txFrame.begin() + link->txFrameLength);
    EXPECT_EQ(built, c.frame);
    EXPECT_EQ(link->txCount, 0);
    EXPECT_EQ(PKISS_CheckState(link.get(), PKISS_FIRST_SEND), 0);
}

TEST_P(ExampleFrames, HelperBuildsTheSameBytes) {
    const FrameCase& c = GetParam();
    EXPECT_EQ(test::buildFrame(c.frame[1], c.data), c.frame);
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

TEST(BuildFrame, LargestBlockAllEscapedFillsTheTransmitFrameExactly) {
    auto link = std::make_unique<PKISS_LINK>();
    const Bytes block(PKISS_MAX_DATA, PKISS_DLE);
    PKISS_BuildFrame(link.get(), block.data(), PKISS_MAX_DATA);
    EXPECT_EQ(link->txFrameLength, PKISS_FRAME_SIZE);
    const Bytes built(link->txFrame.begin(), link->txFrame.end());
    EXPECT_EQ(built, test::buildFrame(0xFF, block));
}

struct StuffCase {
    const char* name;
    Bytes plain;
    Bytes escaped;
};

class Escaping : public ::testing::TestWithParam<StuffCase> {};

TEST_P(Escaping, StuffGivesEscapedForm) {
    const StuffCase& c = GetParam();
    Bytes out(2 * c.plain.size() + 1, 0xEE);
    const auto n =
        PKISS_Stuff(out.data(), c.plain.data(), static_cast<std::uint32_t>(c.plain.size()));
    out.resize(n);
    EXPECT_EQ(out, c.escaped);
}

TEST_P(Escaping, UnStuffGivesPlainForm) {
    const StuffCase& c = GetParam();
    Bytes out(c.escaped.size() + 1, 0xEE);
    const auto count = static_cast<std::uint32_t>(c.escaped.size());
    const auto n = PKISS_UnStuff(out.data(), c.escaped.data(), count);
    EXPECT_EQ(PKISS_UnStuffedLength(c.escaped.data(), count), n);
    out.resize(n);
    EXPECT_EQ(out, c.plain);
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
                      StuffCase{"DleAtEnd", {0x41, 0x10}, {0x41, 0x10, 0x10}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(UnStuff, LoneDleAtTheEndYieldsNothing) {
    const Bytes escaped{0x41, 0x10};
    Bytes out(4, 0xEE);
    EXPECT_EQ(PKISS_UnStuff(out.data(), escaped.data(), 2), 1U);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[1], 0xEE);
}

TEST(UnStuff, DleTakesAnyFollowingByteAsItIs) {
    const Bytes escaped{0x10, 0x41, 0x10, 0x06};
    Bytes out(4);
    ASSERT_EQ(PKISS_UnStuff(out.data(), escaped.data(), 4), 2U);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[1], 0x06);
}

TEST(Escaping, EveryByteValueSurvivesTheRoundTrip) {
    Bytes plain(256);
    for (int i = 0; i < 256; ++i)
        plain[i] = static_cast<std::uint8_t>(i);
    Bytes escaped(512);
    const auto n = PKISS_Stuff(escaped.data(), plain.data(), 256);
    EXPECT_EQ(n, 259U);
    Bytes back(512);
    back.resize(PKISS_UnStuff(back.data(), escaped.data(), n));
    EXPECT_EQ(back, plain);
}

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
