// The driver context: all driver state, one process-wide record.
#pragma once

#include "link/wipe.h"
#include "tarqdriver.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace tarq {

struct PKISS_LINK;

struct PaymentRequest {
    std::int32_t transactionType = 0;
    std::int32_t amount = 0; // minor currency units
    std::int32_t currencyCode = 0;
    char merchIn = 0;
    std::int32_t confirmExtCard = 0;
    std::int32_t purchaseAmount = 0;
    std::array<char, 4> posData{};
    std::array<char, 40> dataToHost{};
    std::int32_t multiID = 0;
    std::int32_t secondNumber = 0;
    std::array<char, 19> cardNo{};
    std::array<char, 4> expDate{};
    std::array<char, 3> cvc{};
};

// What the current call asks of the terminal. The values are the ones the context has always held;
// only a payment is told apart from the rest (old-data corrections, the time-out's texts).
enum class RequestKind : std::int32_t {
    open = 0,         // set by an open
    payment = 1,      // a payment transaction
    admin = 2,        // an administrative command or report
    adminService = 3, // the service range (codes 8 to 14, 16 to 19); read like admin, so never set
};

struct PosReceiptInfo {
    std::uint8_t receipts = 0;
};

inline constexpr std::size_t STATUS_LINE_LEN = 20;
inline constexpr std::size_t RECEIPT_SIZE = 1001;
inline constexpr std::size_t CARD_DATA_LEN = 19;
inline constexpr std::size_t INI_PATH_SIZE = 260;
inline constexpr std::size_t DEVICE_PATH_SIZE = 256; // up to 255 characters and a terminator

using StatusLine = std::array<char, STATUS_LINE_LEN>;

// Display texts written by more than one layer; a full line each, Windows-1252.
inline constexpr char BLANK_LINE[] = "                    ";
inline constexpr char NO_RECEIPT_LINE[] = "INGEN KVITTERING    ";
static_assert(sizeof BLANK_LINE == STATUS_LINE_LEN + 1 &&
                  sizeof NO_RECEIPT_LINE == STATUS_LINE_LEN + 1,
              "display texts fill the line exactly");

// Puts a display text into a status line: cut to the line, blanks after it.
inline void setLine(StatusLine& line, std::string_view text) {
    line.fill(' ');
    std::copy_n(text.begin(), std::min(text.size(), line.size()), line.begin());
}

// Whether a status line begins with `text`, byte for byte; the line carries no terminator.
inline bool startsWith(const StatusLine& line, std::string_view text) {
    return text.size() <= line.size() && std::memcmp(line.data(), text.data(), text.size()) == 0;
}

struct DriverContext {
    // Connection and configuration
    std::int32_t openStatus = 0; // result of the last open (TRQ_OPEN_*); 0 after a close
    std::int32_t closedFlag = 0;
    PKISS_LINK* pKiss = nullptr;
    std::uint8_t comPort = 0;
    std::int32_t baudRate = 0;
    std::array<char, INI_PATH_SIZE> iniPath{};
    std::array<char, DEVICE_PATH_SIZE> devicePath{}; // DEVICE entry; empty = use comPort
    RequestKind requestKind = RequestKind::open;
    // The line went away while open and opening it again has not succeeded yet: each operation
    // tries once more before it runs.
    bool lineLost = false;

    // Callback slots (cash register's routines)
    trqSetCarddataFn trqSetCarddata = nullptr;
    trqPrintReceiptFn trqPrintReceipt = nullptr;
    trqDisplayStatusFn trqDisplayStatus = nullptr;
    trqAbortQueryFn getPosAbortEvent = nullptr;
    trqExtCardConfirmFn trqExtCardConfirm = nullptr;
    trqVerSigConfirmFn trqVerSigConfirm = nullptr;
    trqAdviceFlagFn trqAdviceFlag = nullptr;

    // Request of the current call
    std::int32_t adminCode = 0;
    PaymentRequest request;

    // Per-call engine state
    StatusLine statusLine1{};
    StatusLine statusLine2{};
    std::int32_t disconnectToTerminal = 0;
    std::int32_t gstResultData = 0;
    std::int32_t issuerID = 0;
    std::int32_t tagIssuerID = 0;
    std::int32_t receiptSegment = 0;
    PosReceiptInfo gstPosReceiptInfo;
    std::array<char, RECEIPT_SIZE> gstReceiptData{};
    std::array<std::uint8_t, CARD_DATA_LEN> cardData{};
    std::int32_t track2Length = 0;
    std::int32_t cardReceived = 0;
    std::int32_t track2LengthReceived = 0;
    std::int32_t abortCounter = 0;
    std::int32_t ecrRequestsAnswer = 0;
    std::int32_t callAbortFunc = 0;
    std::int32_t verSigPending = 0;
    std::int32_t verSigAnswer = 0;
    std::int32_t extCardAnswer = 0;
    std::int64_t timeStampTermNotReady = 0; // seconds; 0 = not armed
    std::int64_t lastSendTime = 0;          // seconds
    std::int64_t lastTerminalActivity = 0;  // seconds
    std::int32_t receivedLength = 0; // set by each message received, before it is parsed

    // Engine additions (kept per call unless initGlobals says otherwise) go below.
    std::int32_t pendingEcrAbort = 0; // 1: the cash register asked to abort in a state that
                                      // could not take it; delivered once one can (per call)
    std::int32_t resendCount = 0;     // payment requests sent again in this call

    // What openStatus says about the connection. Results 11 to 98 never occur, so "above 10"
    // and "at least 99" are the same test.
    // The terminal acknowledged an open (TRQ_OPEN_OK, or TRQ_OPEN_ALREADY on a repeated open):
    // payments and commands may run.
    bool openCompleted() const { return openStatus >= TRQ_OPEN_ALREADY; }
    // An open brought the link up, whether or not it completed; another open must wait for a
    // close.
    bool openStanding() const { return openStatus > 0; }
    // The last open failed before the link came up (no module, no configuration, no port).
    bool openFailed() const { return openStatus < 0; }
};

extern DriverContext ctx;

// Zeroes card data in a way the compiler may not drop as a dead store.
template <typename T, std::size_t N> void secureZero(std::array<T, N>& field) {
    static_assert(std::is_trivially_copyable_v<T>);
    wipeBytes(field.data(), sizeof(T) * N);
}

// Resets the per-call part of the context at the start of an operation.
void initGlobals();
// The per-call flags of the main loop and its sources, cleared at the start of a call and when an
// exchange is abandoned.
void clearCallFlags();
// Wipes the card fields of a payment request.
void wipeCardFields(PaymentRequest& request);
// Wipes the card data (track 2, card number, expiry, CVC) once the call that needed it is over.
void wipeCardData();
// Puts the whole context back to its load values (tests).
void resetDriverContext();

} // namespace tarq
