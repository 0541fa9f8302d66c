// The simulated terminal's building blocks: what it puts on the wire and how it reads settings.
#include "tools/sim/terminal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace tarq::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Every exchange in the end-to-end tests proves the short forms and the frames; the long
// lengths only long receipts reach.
TEST(SimMessages, EncodeEnvelopesWithShortAndLongLengths) {
    const struct {
        Message message;
        Bytes head; // the first bytes of the encoding
        std::size_t size;
    } cases[] = {
        {{{0xDD, {0x00, 0x03}}}, {0xE1, 0x04, 0xDD, 0x02, 0x00, 0x03}, 6},
        {{{0xDA, {}}, {0xC0, {}}}, {0xE1, 0x04, 0xDA, 0x00, 0xC0, 0x00}, 6},
        {{{0xCC, Bytes(200, 'x')}}, {0xE1, 0x81, 0xCB, 0xCC, 0x81, 0xC8}, 206},
        {{{0xCC, Bytes(300, 'y')}}, {0xE1, 0x82, 0x01, 0x30, 0xCC, 0x82, 0x01, 0x2C}, 308},
    };
    for (const auto& c : cases) {
        const Bytes encoded = encodeMessage(c.message);
        EXPECT_EQ(encoded.size(), c.size);
        EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + c.head.size()), c.head);
    }
}

TEST(SimCard, PacksDigitsSeparatorAndFiller) {
    EXPECT_EQ(packCard("12345"), (Bytes{0x12, 0x34, 0x5F}));
    EXPECT_EQ(packCard("123=45"), (Bytes{0x12, 0x3D, 0x45}));
    EXPECT_EQ(packCard("4571999900001234=2812101"),
              (Bytes{0x45, 0x71, 0x99, 0x99, 0x00, 0x00, 0x12, 0x34, 0xD2, 0x81, 0x21, 0x01}));
    EXPECT_TRUE(packCard("").empty());
}

TEST(SimSettings, AcceptsListsCountsAndFlags) {
    Config c = defaultConfig();
    EXPECT_EQ(applySetting(c, "result", "10,0"), "");
    EXPECT_EQ(c.result, (std::vector<int>{10, 0}));
    EXPECT_EQ(applySetting(c, "admin-issuer", "3,-1"), "");
    EXPECT_EQ(c.adminIssuer, (std::vector<int>{3, -1}));
    EXPECT_EQ(applySetting(c, "silence", ""), "");
    EXPECT_EQ(c.silence, -1); // a bare flag: for ever
    EXPECT_EQ(applySetting(c, "silence", "2"), "");
    EXPECT_EQ(c.silence, 2);
    EXPECT_EQ(applySetting(c, "mute", "1"), "");
    EXPECT_EQ(c.mute, 1); // a number counts, even 1
    EXPECT_EQ(applySetting(c, "signature", ""), "");
    EXPECT_TRUE(c.signature);
    EXPECT_EQ(applySetting(c, "nak", "1,3"), "");
    EXPECT_EQ(c.nak, (std::set<int>{1, 3}));
    EXPECT_EQ(applySetting(c, "receipt", "A\\nB\\xD8"), "");
    EXPECT_EQ(c.receiptTexts.back(), "A\nB\xD8");
}

TEST(SimSettings, RefusesWhatItCannotUse) {
    Config c = defaultConfig();
    const std::pair<const char*, const char*> bad[] = {
        {"result", "abc"}, {"result", ""},       {"nak", "0"},
        {"nak", "1,,2"},   {"mute", "-2"},       {"receipts", "-1"},
        {"card", "xyz"},   {"step-delay", "-5"}, {"signature", "maybe"},
    };
    for (const auto& [k, v] : bad)
        EXPECT_NE(applySetting(c, k, v), "") << k << "=" << v;
    EXPECT_EQ(applySetting(c, "no-such-key", "1"), "unknown setting 'no-such-key'");
}

TEST(SimSettings, ScenarioFileWithCommentsAndBothForms) {
    const std::string path = ::testing::TempDir() + "scenario.txt";
    std::ofstream(path) << "# a declined payment\n"
                           "result = 10\n"
                           "  issuer 7\n"
                           "\n"
                           "status=VELKOMMEN|TA KORT\n";
    Config c = defaultConfig();
    EXPECT_EQ(loadScenario(c, path), "");
    EXPECT_EQ(c.result, (std::vector<int>{10}));
    EXPECT_EQ(c.issuer, 7);
    EXPECT_EQ(c.statusTexts, (std::vector<std::string>{"VELKOMMEN|TA KORT"}));

    std::ofstream(path) << "result = 0\nbogus 1\n";
    EXPECT_EQ(loadScenario(c, path), path + ":2: unknown setting 'bogus'");
    EXPECT_NE(loadScenario(c, path + ".missing"), "");
    std::remove(path.c_str());
}

} // namespace
} // namespace tarq::sim
