// Side files and callbacks of the Java bridge: exact file contents and printed lines after each
// sequence a Java till meets.
#include "core/context.h"
#include "jni/bridge.h"
#include "tests/support/capture_stdout.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace tarq;
using namespace tarq::javabridge;

namespace {

std::optional<std::string> readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
}

class BridgeFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        resetBridge();
        resetDriverContext();
        std::string templ = (fs::temp_directory_path() / "tarqbridgeXXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        ASSERT_EQ(setTrqPath(dir_.string() + "/"), SET_PATH_OK);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::optional<std::string> file(const char* name) const { return readFile(dir_ / name); }

    fs::path dir_;
};

TEST_F(BridgeFiles, AbortFileDecidesTheAnswer) {
    struct Case {
        const char* name;
        std::optional<std::string> content; // nullopt: no abort.trq at all
        int expected;
    };
    const Case cases[] = {
        {"one", "1", 1},          {"one then more", "1\nxyz", 1},
        {"zero", "0", 0},         {"zero one", "01", 0},
        {"empty", "", 0},         {"missing", std::nullopt, 0},
        {"blank first", " 1", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ / "abort.trq");
        if (c.content) writeFile(dir_ / "abort.trq", *c.content);
        writeFile(dir_ / "display.trq", "before\n\n");
        bridge.abortRequested = 1 - c.expected;
        std::string out = test::captureStdout([&] { EXPECT_EQ(abortTransaction(), c.expected); });
        EXPECT_EQ(bridge.abortRequested, c.expected);
        EXPECT_EQ(out, "");
        EXPECT_EQ(file("display.trq"), c.expected ? "ECR AVBRYTER\n\n" : "before\n\n");
        // The till owns abort.trq: the bridge never changes it.
        if (c.content)
            EXPECT_EQ(file("abort.trq"), *c.content);
        else
            EXPECT_FALSE(fs::exists(dir_ / "abort.trq"));
    }
}

TEST_F(BridgeFiles, DisplayStatusCutsLinesAndRewritesTheFile) {
    std::string out = test::captureStdout([] {
        EXPECT_EQ(displayStatus("123456789012345678901234567890", "KORT GODKJENT       "), 0);
    });
    EXPECT_EQ(out, "\nSTATUS 1: 12345678901234567890\nSTATUS 2:KORT GODKJENT       \n");
    EXPECT_EQ(file("display.trq"), "12345678901234567890\nKORT GODKJENT       \n");
    EXPECT_STREQ(bridge.bridgeLine1.data(), "12345678901234567890");

    test::captureStdout(
        [] { displayStatus("\xD8KT", ""); }); // the terminal's bytes stay as they are
    EXPECT_EQ(file("display.trq"), "\xD8KT\n\n");
}

// Each sequence starts with a reset; the driver counts a receipt when the callback returns 1.
TEST_F(BridgeFiles, ReceiptSequences) {
    struct Receipt {
        int segment;
        std::string text;
    };
    struct Case {
        const char* name;
        std::vector<Receipt> receipts;
        std::string printed;
        std::string file;
        std::vector<std::string> copies; // receiptCopies from slot 0; the rest stay empty
    };
    std::vector<Receipt> thirteen;
    std::string thirteenFile = "\n", thirteenPrinted;
    std::vector<std::string> firstTen;
    for (int i = 0; i < 13; ++i) {
        const std::string text = "R" + std::to_string(i);
        thirteen.push_back({0, text});
        thirteenFile += text + "\n";
        thirteenPrinted += text;
        if (i < 10) firstTen.push_back(text);
    }
    const std::string a1000(1000, 'A');
    const Case cases[] = {
        {"two",
         {{0, "KVITTERING 1\nSUM 100"}, {0, "KVITTERING 2"}},
         "KVITTERING 1SUM 100KVITTERING 2",
         "\nKVITTERING 1\nSUM 100\nKVITTERING 2\n",
         {"KVITTERING 1\nSUM 100", "KVITTERING 2"}},
        {"segment flag withholds the line feed",
         {{1, "DEL A "}, {0, "DEL B"}},
         "DEL A DEL B",
         "\nDEL A DEL B\n",
         {"DEL A ", "DEL B"}},
        // Filed but not counted, so the next receipt takes the same slot.
        {"line feeds only", {{0, "\n\n\n"}, {0, "X"}}, "X", "\n\n\n\n\nX\n", {"X"}},
        {"beyond ten are filed but not kept", thirteen, thirteenPrinted, thirteenFile, firstTen},
        {"cut at 1000", {{0, std::string(1500, 'A')}}, a1000, "\n" + a1000 + "\n", {a1000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        receiptReset();
        EXPECT_EQ(file("print.trq"), "\n");
        EXPECT_STREQ(bridge.bridgeReceipt.data(), "");
        for (const auto& slot : bridge.receiptCopies)
            EXPECT_STREQ(slot.data(), "");
        ctx.gstPosReceiptInfo.receipts = 0;
        const std::string out = test::captureStdout([&] {
            for (const Receipt& r : c.receipts)
                if (printReceipt(r.segment, r.text.c_str()) == 1) ++ctx.gstPosReceiptInfo.receipts;
        });
        EXPECT_EQ(out, c.printed);
        EXPECT_EQ(file("print.trq"), c.file);
        for (std::size_t i = 0; i < bridge.receiptCopies.size(); ++i)
            EXPECT_EQ(bridge.receiptCopies[i].data(), i < c.copies.size() ? c.copies[i] : "") << i;
    }
}

TEST_F(BridgeFiles, IssuerFile) {
    struct Case {
        int mode;
        int issuer;
        const char* content;
    };
    const Case cases[] = {
        {1, 7, "07\n"}, {1, 0, "00\n"}, {1, 12, "12\n"}, {1, 123, "123\n"}, {0, 7, "\n"}};
    for (const Case& c : cases) {
        ctx.issuerID = c.issuer;
        EXPECT_EQ(writeIssuerFile(c.mode), 0);
        EXPECT_EQ(file("issuer.trq"), c.content) << c.mode << " " << c.issuer;
    }
}

TEST_F(BridgeFiles, UnwritableDirectoryIsReportedAndTheCallGoesOn) {
    fs::path gone = dir_ / "gone/";
    ASSERT_EQ(setTrqPath(gone.string()), SET_PATH_OK);
    const std::string print = gone.string() + "print.trq";
    std::string out = test::captureStdout([] {
        setLines("A", "B");
        EXPECT_EQ(writeDisplayFile(), 0);
        EXPECT_EQ(writePrintOutToFile(1, 0), 0);
        EXPECT_EQ(printReceipt(0, "R"), 1);
        EXPECT_EQ(writeIssuerFile(1), 0);
        EXPECT_EQ(abortTransaction(), 0);
    });
    EXPECT_EQ(out, "The file 'display.trq' was not opened\n"
                   "The file 'print.trq' was not opened " +
                       print +
                       "\n"
                       "RThe file 'print.trq' was not opened a " +
                       print +
                       "\n"
                       "The file 'issuer.trq' was not opened\n");
    // The copy for Java is kept even when the file could not be written.
    EXPECT_STREQ(bridge.receiptCopies[0].data(), "R");
}

TEST_F(BridgeFiles, CardDataIsAcceptedAndNotKept) {
    EXPECT_EQ(setCarddata("4711=1234"), 1);
    EXPECT_EQ(setCarddata(nullptr), 1);
    EXPECT_FALSE(fs::exists(dir_ / "print.trq"));
}

TEST(BridgePath, LimitsOfTheSideFileDirectory) {
    struct Case {
        const char* name;
        std::string path;
        int expected;
    };
    const Case cases[] = {
        {"empty", "", SET_PATH_OK},
        {"99 bytes", std::string(98, 'd') + "/", SET_PATH_OK},
        {"100 bytes", std::string(99, 'd') + "/", SET_PATH_REFUSED},
        {"far too long", std::string(4000, 'd'), SET_PATH_REFUSED},
        {"zero byte", std::string("/tmp/\0x/", 8), SET_PATH_REFUSED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetBridge();
        ASSERT_EQ(setTrqPath("/keep/"), SET_PATH_OK);
        EXPECT_EQ(setTrqPath(c.path), c.expected);
        const std::string dir = c.expected == SET_PATH_OK ? c.path : "/keep/";
        EXPECT_STREQ(bridge.trqPath.data(), dir.c_str());
        EXPECT_EQ(bridge.trqPathSet, 1);
        // The longest side-file path of an accepted directory always fits.
        EXPECT_EQ(std::string(sideFilePath("display.trq").data()), dir + "display.trq");
    }
}

TEST(BridgePath, WithoutDirectoryTheFilesLieInTheCurrentDirectory) {
    resetBridge();
    EXPECT_STREQ(sideFilePath("print.trq").data(), "print.trq");

    std::string templ = (fs::temp_directory_path() / "tarqcwdXXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    const fs::path old = fs::current_path();
    fs::current_path(templ);
    setLines("HEI", "");
    writeDisplayFile();
    receiptReset();
    fs::current_path(old);
    EXPECT_EQ(readFile(fs::path(templ) / "display.trq"), "HEI\n\n");
    EXPECT_EQ(readFile(fs::path(templ) / "print.trq"), "\n");
    fs::remove_all(templ);
}

TEST(BridgeLines, NativeMethodTextsAreCutToTwentyCharacters) {
    setLines("Purchase DK -2147483648", "");
    EXPECT_STREQ(bridge.bridgeLine1.data(), "Purchase DK -2147483");
    EXPECT_STREQ(bridge.bridgeLine2.data(), "");
}

} // namespace
