// Conversions between the terminal's Windows-1252 and the JVM's modified UTF-8.
#include "jni/charset.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

using namespace tarq::javabridge;

namespace {

struct Pair {
    const char* name;
    std::string cp1252;
    std::string mutf8;
};

// Both directions agree on every character the terminal can send.
const Pair kPairs[] = {
    {"ascii", "KORT GODKJENT", "KORT GODKJENT"},
    {"norwegian", "\xC6\xD8\xC5\xE6\xF8\xE5", "\xC3\x86\xC3\x98\xC3\x85\xC3\xA6\xC3\xB8\xC3\xA5"},
    {"euro", "\x80", "\xE2\x82\xAC"},
    {"quotes and dash", "\x93\x96\x94", "\xE2\x80\x9C\xE2\x80\x93\xE2\x80\x9D"},
    {"undefined byte", "\x81", "\xC2\x81"},
    {"nbsp and y diaeresis", "\xA0\xFF\x9F", "\xC2\xA0\xC3\xBF\xC5\xB8"},
    {"empty", "", ""},
};

TEST(Charset, TerminalTextToJava) {
    for (const Pair& p : kPairs) {
        EXPECT_EQ(cp1252ToModifiedUtf8(p.cp1252), p.mutf8) << p.name;
    }
    // The text ends at its terminator, as the driver's texts do.
    EXPECT_EQ(cp1252ToModifiedUtf8(std::string("AB\0CD", 5)), "AB");
}

TEST(Charset, JavaTextToTerminal) {
    for (const Pair& p : kPairs) {
        std::array<char, 32> dest{};
        EXPECT_EQ(modifiedUtf8ToCp1252(p.mutf8, dest), p.cp1252.size()) << p.name;
        EXPECT_EQ(std::string(dest.data()), p.cp1252) << p.name;
    }
}

TEST(Charset, JavaTextWithoutTerminalFormOrCut) {
    struct Case {
        const char* name;
        std::string mutf8;
        std::size_t destSize;
        std::string expected;
    };
    const Case cases[] = {
        {"cjk", "\xE4\xB8\xAD", 8, "?"},
        {"supplementary pair is one character",
         "A\xED\xA0\xBD\xED\xB8\x80"
         "B",
         8, "A?B"},
        {"lone surrogate",
         "\xED\xA0\xBD"
         "B",
         8, "?B"},
        {"encoded zero ends the text",
         "AB\xC0\x80"
         "CD",
         8, "AB"},
        {"truncated sequence", "A\xC3", 8, "A?"},
        {"stray continuation", "\x80Z", 8, "?Z"},
        {"cut to width", "12345678", 5, "1234"},
        {"cut inside multi-byte text", "\xC3\x98\xC3\x98\xC3\x98", 3, "\xD8\xD8"},
        {"room for the terminator only", "ABC", 1, ""},
    };
    for (const Case& c : cases) {
        std::string dest(c.destSize, '#');
        const std::size_t n =
            modifiedUtf8ToCp1252(c.mutf8, std::span<char>(dest.data(), dest.size()));
        EXPECT_EQ(std::string(dest.data()), c.expected) << c.name;
        EXPECT_EQ(n, c.expected.size()) << c.name;
    }
}

TEST(Charset, PathsBecomeStandardUtf8) {
    std::string out;
    ASSERT_TRUE(modifiedUtf8ToUtf8("/tmp/kasse/", out));
    EXPECT_EQ(out, "/tmp/kasse/");
    ASSERT_TRUE(modifiedUtf8ToUtf8("/tmp/\xC3\x98ST/", out));
    EXPECT_EQ(out, "/tmp/\xC3\x98ST/");
    ASSERT_TRUE(modifiedUtf8ToUtf8("/\xED\xA0\xBD\xED\xB8\x80/", out)); // U+1F600
    EXPECT_EQ(out, "/\xF0\x9F\x98\x80/");
    EXPECT_FALSE(modifiedUtf8ToUtf8("/tmp\xC0\x80/", out));
}

} // namespace
