#include "jni/bridge.h"
#include "jni/sidefile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarq::javabridge {

BridgeState bridge;

namespace {

constexpr std::string_view kDisplayFile = "display.trq";
constexpr std::string_view kPrintFile = "print.trq";
constexpr std::string_view kIssuerFile = "issuer.trq";
constexpr std::string_view kAbortFile = "abort.trq";
constexpr std::size_t kLongestName = kDisplayFile.size();

// Owns an open side file; close() reports whether the data reached the file. The files are
// opened in binary mode: the Java side reads the same bytes on every platform, with a bare line
// feed after each line and the terminal's bytes untouched (text mode on Windows would write
// CR LF). On POSIX systems the "b" changes nothing.
class TextFile {
  public:
    TextFile(const char* path, const char* mode) : f_(openSideFile(path, mode)) {}
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    ~TextFile() {
        if (f_ != nullptr) std::fclose(f_);
    }
    explicit operator bool() const { return f_ != nullptr; }
    std::FILE* get() const { return f_; }
    bool close() {
        std::FILE* f = f_;
        f_ = nullptr;
        return std::fclose(f) == 0;
    }

  private:
    std::FILE* f_;
};

// Copies a zero-terminated text into a fixed area, cut to fit, always terminated; never reads
// past the text's terminator.
template <std::size_t N> void copyText(std::array<char, N>& dest, const char* src) {
    dest.fill('\0');
    if (src != nullptr) std::memcpy(dest.data(), src, strnlen(src, N - 1));
}

template <std::size_t N> void copyText(std::array<char, N>& dest, std::string_view src) {
    dest.fill('\0');
    const std::size_t n = std::min(src.size(), N - 1);
    if (n > 0) std::memcpy(dest.data(), src.data(), n);
}

} // namespace

std::array<char, SIDE_PATH_SIZE> sideFilePath(std::string_view name) noexcept {
    std::array<char, SIDE_PATH_SIZE> path{};
    std::string_view dir = "";
    if (bridge.trqPathSet == 1) dir = bridge.trqPath.data();
    if (dir.size() + name.size() + 1 > path.size()) return path;
    std::memcpy(path.data(), dir.data(), dir.size());
    std::memcpy(path.data() + dir.size(), name.data(), name.size());
    return path;
}

int setTrqPath(std::string_view utf8) noexcept {
    static_assert(TRQ_PATH_MAX + kLongestName + 1 <= SIDE_PATH_SIZE,
                  "every accepted directory leaves room for the longest side-file name");
    if (utf8.size() > TRQ_PATH_MAX || utf8.find('\0') != std::string_view::npos)
        return SET_PATH_REFUSED;
    copyText(bridge.trqPath, utf8);
    bridge.trqPathSet = 1;
    return SET_PATH_OK;
}

void setLines(std::string_view line1, std::string_view line2) noexcept {
    copyText(bridge.bridgeLine1, line1);
    copyText(bridge.bridgeLine2, line2);
}

int setCarddata(const char* /*cardText*/) noexcept {
    std::fflush(stdout);
    return 1;
}

int printReceipt(int segment, const char* text) noexcept {
    copyText(bridge.bridgeReceipt, text);
    // Without its line feeds, in one piece: one console (and trace) line, not one per character.
    std::array<char, RECEIPT_TEXT_SIZE> shown{};
    std::size_t n = 0;
    for (const char* p = bridge.bridgeReceipt.data(); *p != '\0'; ++p)
        if (*p != '\n') shown[n++] = *p;
    const bool printable = n > 0;
    if (printable) say("%s", shown.data());
    writePrintOutToFile(0, segment);
    return printable ? 1 : 0;
}

int displayStatus(const char* line1, const char* line2) noexcept {
    copyText(bridge.bridgeLine1, line1);
    copyText(bridge.bridgeLine2, line2);
    say("\nSTATUS 1: %s\n", bridge.bridgeLine1.data());
    say("STATUS 2:%s\n", bridge.bridgeLine2.data());
    return writeDisplayFile();
}

void displayStatusCallback(const char* line1, const char* line2) noexcept {
    displayStatus(line1, line2);
}

int abortTransaction() noexcept {
    char answer = '0';
    const auto path = sideFilePath(kAbortFile);
    TextFile file(path.data(), "rb");
    if (file) {
        const int c = std::fgetc(file.get());
        if (c != EOF) answer = static_cast<char>(c);
        if (!file.close()) say("The file 'abort' was not closed %s\n", path.data());
    }
    if (answer == '1') {
        bridge.abortRequested = 1;
        setLines("ECR AVBRYTER", "");
        writeDisplayFile();
    } else {
        bridge.abortRequested = 0;
    }
    return bridge.abortRequested;
}

int writeDisplayFile() noexcept {
    const auto path = sideFilePath(kDisplayFile);
    TextFile file(path.data(), "wb");
    if (!file) {
        say("The file 'display.trq' was not opened\n");
        return 0;
    }
    std::fprintf(file.get(), "%s\n", bridge.bridgeLine1.data());
    std::fprintf(file.get(), "%s\n", bridge.bridgeLine2.data());
    if (!file.close()) {
        say("The file 'display.trq' was not closed\n");
        return 1;
    }
    return 0;
}

int writePrintOutToFile(int mode, int segment) noexcept {
    const auto path = sideFilePath(kPrintFile);
    const bool fresh = mode == 1;
    TextFile file(path.data(), fresh ? "wb" : "a+b");
    if (!file && fresh)
        say("The file 'print.trq' was not opened %s\n", path.data());
    else if (!file)
        say("The file 'print.trq' was not opened a %s\n", path.data());
    else
        std::fprintf(file.get(), "%s", bridge.bridgeReceipt.data());
    if (fresh) {
        // Its one caller has emptied bridgeReceipt, so slot 0 starts empty with the rest.
        for (auto& slot : bridge.receiptCopies)
            slot.fill('\0');
    } else {
        // Only ten receipts of a call are kept for Java; later ones still reach print.trq.
        const std::size_t slot = receiptsOfCall();
        if (slot < bridge.receiptCopies.size()) bridge.receiptCopies[slot] = bridge.bridgeReceipt;
    }
    if (!file) return 0;
    if (segment == 0) std::fprintf(file.get(), "\n");
    if (!file.close()) {
        say("The file 'print.trq' was not closed %s\n", path.data());
        return 1;
    }
    return 0;
}

int writeIssuerFile(int mode) noexcept {
    const auto path = sideFilePath(kIssuerFile);
    TextFile file(path.data(), "wb");
    if (!file) {
        say("The file 'issuer.trq' was not opened\n");
        return 0;
    }
    if (mode == 1)
        std::fprintf(file.get(), "%02d\n", lastIssuer());
    else
        std::fprintf(file.get(), "\n");
    if (!file.close()) {
        say("The file 'issuer.trq' was not closed\n");
        return 1;
    }
    return 0;
}

void receiptReset() noexcept {
    bridge.bridgeReceipt.fill('\0');
    writePrintOutToFile(1, 0); // empties every receipt copy, slot 0 too
}

void resetBridge() noexcept {
    bridge = BridgeState{};
}

} // namespace tarq::javabridge
