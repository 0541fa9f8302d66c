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

int abortWith(const char* content) {
    std::ofstream(sideFilePath("abort.trq").data()) << content;
    return abortTransaction();
}

int receipts(int firstSegment, const std::string& first, const char* second) {
    receiptReset();
    printReceipt(firstSegment, first.c_str());
    return printReceipt(0, second);
}

// display.trq, issuer.trq and print.trq open, but cannot be closed (the data never reaches them).
void unclosable() {
    for (const char* name : {"display.trq", "issuer.trq", "print.trq"})
        fs::create_symlink("/dev/full", sideFilePath(name).data());
}

// Each row runs in a fresh side-file directory and names "result|bytes" of one file then.
struct SideRow {
    const char* name;
    int (*run)();
    const char* file;
    std::string bytes;
};
const SideRow kSideRows[] = {
    {"status lines cut to 20, terminal bytes kept",
     [] { return displayStatus("123456789012345678901234567890", "\xD8KT4567890123456789012"); },
     "display.trq", "0|12345678901234567890\n\xD8KT45678901234567890\n"},
    {"lines set by a method cut to 20",
     [] { return setLines(std::string(30, 'L'), "2"), writeDisplayFile(); }, "display.trq",
     "0|" + std::string(20, 'L') + "\n2\n"},
    {"a reset drops the last receipt; a segment withholds the line feed",
     [] { return printReceipt(0, "OLD"), receipts(1, "A ", "B"); }, "print.trq", "1|\nA B\n"},
    {"receipt cut at 1000; line feeds alone print nothing",
     [] { return receipts(0, std::string(1500, 'R'), "\n"); }, "print.trq",
     "0|\n" + std::string(1000, 'R') + "\n\n\n"},
    {"abort asked by a leading 1, no line left stale",
     [] { return displayStatus("STALE 7890123456789", "X"), abortWith("1\nx"); }, "display.trq",
     "1|ECR AVBRYTER\n\n"},
    {"no abort for a blank before the 1, after an abort",
     [] { return abortWith("1"), displayStatus("A", ""), abortWith(" 1"); }, "display.trq",
     "0|A\n\n"},
    {"an 11th receipt reaches print.trq, not past the ten slots",
     [] {
         return ctx.gstPosReceiptInfo.receipts = 10, printReceipt(1, "11th"), bridge.abortRequested;
     },
     "print.trq", "0|11th"},
    {"issuer number in two digits; written files say 0",
     [] { return ctx.issuerID = 7, writeIssuerFile(1) + writePrintOutToFile(0, 0); }, "issuer.trq",
     "0|07\n"},
    {"display (1), issuer (2) and print (4) not closed",
     [] {
         return unclosable(),
                displayStatus("A", "B") + 2 * writeIssuerFile(1) + 4 * writePrintOutToFile(0, 0);
     },
     "abort.trq", "7|<none>"},
};

TEST(Bridge, SideFileBytes) {
    for (const SideRow& row : kSideRows) {
        SCOPED_TRACE(row.name);
        resetBridge();
        resetDriverContext();
        std::string dir = fs::temp_directory_path() / ("tarqbridge" + std::to_string(getpid()));
        dir.resize(TRQ_PATH_MAX - 1, 'x'); // with its slash, the longest directory taken
        fs::remove_all(dir);
        fs::create_directory(dir);
        ASSERT_EQ(setTrqPath(dir + "/"), SET_PATH_OK);
        int result = -1;
        test::captureStdout([&] { result = row.run(); });
        EXPECT_EQ(std::to_string(result) + "|" + sideFile(row.file), row.bytes);
        fs::remove_all(dir);
    }
}

// Windows-1252 to the JVM's modified UTF-8, back (into 8 bytes), and to a path's UTF-8.
enum class Way { ToJava, FromJava, Path };
struct CharsetRow {
    Way way;
    std::string from, to;
};
const CharsetRow kCharsetRows[] = {
    {Way::ToJava, "\xD8\xC5\x80", "\xC3\x98\xC3\x85\xE2\x82\xAC"}, // Ø Å €
    {Way::FromJava, "\xC3\x98\xC3\x85\xE2\x82\xAC\xED\x9F\xBF\xED\xB0\x80", "\xD8\xC5\x80??"},
    {Way::ToJava, "\x81\x7F", "\xC2\x81\x7F"}, // a byte Windows-1252 leaves undefined is kept
    {Way::FromJava, "\xC2\x81\xC2\xA0\xC2\x9F\xC3\xBF\x7F\xC2\x80\xC4\x80", "\x81\xA0?\xFF\x7F??"},
    {Way::ToJava, std::string("A\0B", 3), "A"},           // NUL ends the text
    {Way::FromJava, "\xE2\x82\x41\xC0\x80\x42", "??A"},   // cut short; Java's zero ends it
    {Way::FromJava, "ABCDE\xE3\x80\x80\x46G", "ABCDE?F"}, // no such letter; cut
    {Way::FromJava, "\xED\xA0\x80\xED\xB0\x80\xED\xAF\xBF\xED\xBF\xBF", "??"}, // pairs as one
    {Way::Path, "\xED\xA0\xBD\xED\xB8\x80/\xED\xA0\xBD", "\xF0\x9F\x98\x80/\xED\xA0\xBD"},
    {Way::Path, "\xED\xAF\xBF\xED\xBF\xBF", "\xF4\x8F\xBF\xBF"}, // the last code point
    {Way::FromJava, "\xC5\xB8", "\x9F"},               // the last of the letters at 0x80 to 0x9F
    {Way::FromJava, "\xED\xB0\x80\xED\xB0\x80", "??"}, // two low halves alone
    {Way::FromJava, "\xF0\x9F\x98\x80\xE2\x41\x82", "?????A?"},     // no 4-byte form, a gap
    {Way::Path, "\xED\xA0\x80\xEE\x80\x80\xED\xAF\xBF\xED\xAF\xBF", // no low halves
     "\xED\xA0\x80\xEE\x80\x80\xED\xAF\xBF\xED\xAF\xBF"},
};

TEST(Bridge, Charset) {
    for (const CharsetRow& row : kCharsetRows) {
        const std::string padded = row.from + "\xED"; // the view ends before a byte never read
        const std::string_view from(padded.data(), row.from.size());
        std::array<char, 8> dest;
        dest.fill('#'); // the terminator is written, not found
        std::string got;
        if (row.way == Way::ToJava) got = cp1252ToModifiedUtf8(from);
        if (row.way == Way::FromJava) {
            const std::size_t n = modifiedUtf8ToCp1252(from, dest);
            got = n < dest.size() && dest[n] == '\0' ? std::string(dest.data(), n) : "unended";
        }
        if (row.way == Way::Path) modifiedUtf8ToUtf8(from, got);
        EXPECT_EQ(got, row.to);
    }
}

} // namespace
