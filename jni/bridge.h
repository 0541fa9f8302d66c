// State of the Java bridge and the callbacks it registers with the driver. A Java till cannot be
// called back while its native call blocks, so the bridge keeps what the till needs in side
// files (display.trq, print.trq, issuer.trq; abort.trq is the till's answer) and in copies that
// the native methods hand to the Java object when the call returns.
#pragma once

#include "driver/callinfo.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarq::javabridge {

inline constexpr std::size_t TRQ_PATH_MAX = 99;    // bytes of the side-file directory
inline constexpr std::size_t SIDE_PATH_SIZE = 112; // directory, file name and terminator
inline constexpr std::size_t BRIDGE_LINE_MAX = DISPLAY_LINE_LEN; // characters of a display line
inline constexpr std::size_t RECEIPT_COPIES = 10;                // receipt slots handed to Java
inline constexpr std::size_t RECEIPT_TEXT = RECEIPT_TEXT_SIZE;   // 1000 characters and a terminator

// Results of SetTrqPath (the Java class documents them).
inline constexpr int SET_PATH_OK = 0;
inline constexpr int SET_PATH_REFUSED = 12;

using ReceiptText = std::array<char, RECEIPT_TEXT>;

struct BridgeState {
    std::array<char, TRQ_PATH_MAX + 1> trqPath{};
    std::int32_t trqPathSet = 0;
    std::array<char, BRIDGE_LINE_MAX + 1> bridgeLine1{};
    std::array<char, BRIDGE_LINE_MAX + 1> bridgeLine2{};
    ReceiptText bridgeReceipt{};
    std::array<ReceiptText, RECEIPT_COPIES> receiptCopies{};
    std::int32_t abortRequested = 0;
};

extern BridgeState bridge;

// Callbacks registered with the driver (kinds 0, 1, 2 and 3).
int setCarddata(const char* cardText) noexcept;
int printReceipt(int segment, const char* text) noexcept;
int displayStatus(const char* line1, const char* line2) noexcept;
// The display kind's signature has no result; this forwards to displayStatus.
void displayStatusCallback(const char* line1, const char* line2) noexcept;
int abortTransaction() noexcept;

// Side-file writers; 1 when closing the file failed, else 0.
int writeDisplayFile() noexcept;
int writePrintOutToFile(int mode, int segment) noexcept; // mode 1 starts afresh, 0 appends
int writeIssuerFile(int mode) noexcept;                  // mode 1 the issuer, 0 an empty line

// Steps shared by the native methods.
void setLines(std::string_view line1, std::string_view line2) noexcept; // cut to 20
void receiptReset() noexcept;
// Sets the side-file directory from UTF-8 bytes; refuses (SET_PATH_REFUSED, nothing changed)
// a path longer than 99 bytes, one whose longest side-file path would not fit, or one holding a
// zero byte.
int setTrqPath(std::string_view utf8) noexcept;

// Full path of a side file: the directory (when set) directly followed by the name.
// Empty when it would not fit (cannot happen for a path setTrqPath accepted).
std::array<char, SIDE_PATH_SIZE> sideFilePath(std::string_view name) noexcept;

// Back to the load values (tests).
void resetBridge() noexcept;

} // namespace tarq::javabridge
