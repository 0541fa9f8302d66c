// The Java bridge below the JVM: side-file bytes and the terminal's character set.
#include "core/context.h"
#include "jni/bridge.h"
#include "jni/charset.h"
#include "tests/support/capture_stdout.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace tarq;
using namespace tarq::javabridge;

namespace {

std::string sideFile(const char* name) {
    std::ifstream in(fs::path(bridge.trqPath.data()) / name, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<none>";
}

void abortWith(const char* content) {
    std::ofstream(sideFilePath("abort.trq").data()) << content;
    abortTransaction();
}

void receipts(int firstSegment, const std::string& first, const char* second) {
    receiptReset();
    printReceipt(firstSegment, first.c_str());
    printReceipt(0, second);
}

// Each row runs on a fresh side-file directory and names the bytes one file then holds.
struct SideRow {
    const char* name;
    void (*run)();
    const char* file;
    std::string bytes;
};
const SideRow kSideRows[] = {
    {"status lines cut to 20, terminal bytes kept",
     [] { displayStatus("123456789012345678901234567890", "\xD8KT"); }, "display.trq",
     "12345678901234567890\n\xD8KT\n"},
    {"a segment withholds the line feed", [] { receipts(1, "A ", "B"); }, "print.trq", "\nA B\n"},
    {"receipt cut at 1000", [] { receipts(0, std::string(1500, 'R'), ""); }, "print.trq",
     "\n" + std::string(1000, 'R') + "\n\n"},
    {"abort asked by a leading 1", [] { abortWith("1\nx"); }, "display.trq", "ECR AVBRYTER\n\n"},
    {"no abort for a blank before the 1", [] { abortWith(" 1"); }, "display.trq", "<none>"},
};

TEST(Bridge, SideFileBytes) {
    for (const SideRow& row : kSideRows) {
        SCOPED_TRACE(row.name);
        resetBridge();
        resetDriverContext();
        const fs::path dir = fs::temp_directory_path() / ("tarqbridge" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directory(dir);
        ASSERT_EQ(setTrqPath(dir.string() + "/"), SET_PATH_OK);
        test::captureStdout(row.run);
        EXPECT_EQ(sideFile(row.file), row.bytes);
        fs::remove_all(dir);
    }
}

// The terminal's Windows-1252 and the JVM's modified UTF-8 (read back into 4 bytes).
struct CharsetRow {
    bool toJava;
    std::string from, to;
};
const CharsetRow kCharsetRows[] = {
    {true, "\xD8\xC5\x80", "\xC3\x98\xC3\x85\xE2\x82\xAC"}, // Ø Å €
    {false, "\xC3\x98\xC3\x85\xE2\x82\xAC", "\xD8\xC5\x80"},
    {true, "\x81", "\xC2\x81"}, // a byte Windows-1252 leaves undefined is kept
    {false, "\xC2\x81", "\x81"},
    {true, std::string("A\0B", 3), "A"},                          // NUL ends the text
    {false, "A\xC0\x80\x42", "A"},                                // so does Java's encoded zero
    {false, "\xE4\xB8\xAD\xC3\x98\xC3\x98\xC3\x98", "?\xD8\xD8"}, // no such letter; cut
};

TEST(Bridge, Charset) {
    for (const CharsetRow& row : kCharsetRows) {
        std::array<char, 4> dest{};
        if (!row.toJava) modifiedUtf8ToCp1252(row.from, dest);
        EXPECT_EQ(row.toJava ? cp1252ToModifiedUtf8(row.from) : std::string(dest.data()), row.to);
    }
}

} // namespace
