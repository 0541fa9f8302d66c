#include "core/callbacks.h"

#include "core/config.h"
#include "core/context.h"
#include "link/wiretap.h"

#include <algorithm>
#include <array>

namespace tarq {

int invokeSetCarddata(const char* cardText) {
    writeLog("callback : trqSetCarddata", 0);
    if (!ctx.trqSetCarddata) return 0;
    return ctx.trqSetCarddata(cardText) == 1 ? 1 : 0;
}

int invokePrintReceipt() {
    writeLog("\ncallback : trqPrintReceipt", 0);
    if (!ctx.trqPrintReceipt) return 0;
    // A copy, so the cash register never holds a reference into the context; the receipt is at
    // most 1000 characters even when the terminal filled all 1001 bytes.
    std::array<char, RECEIPT_SIZE> copy = ctx.gstReceiptData;
    copy[RECEIPT_SIZE - 1] = '\0';
    return ctx.trqPrintReceipt(ctx.receiptSegment, copy.data()) != 0 ? 1 : 0;
}

void invokeDisplayStatus() {
    writeLog("callback : trqDisplayStatus", 0);
    tapDisplay(ctx.statusLine1.data(), ctx.statusLine2.data(), STATUS_LINE_LEN);
    if (!ctx.trqDisplayStatus) return;
    std::array<char, STATUS_LINE_LEN + 1> line1{};
    std::array<char, STATUS_LINE_LEN + 1> line2{};
    std::copy(ctx.statusLine1.begin(), ctx.statusLine1.end(), line1.begin());
    std::copy(ctx.statusLine2.begin(), ctx.statusLine2.end(), line2.begin());
    ctx.trqDisplayStatus(line1.data(), line2.data());
}

int invokeAbortQuery() {
    return ctx.getPosAbortEvent ? ctx.getPosAbortEvent() : 0;
}

int invokeExtCardConfirm() {
    return ctx.trqExtCardConfirm ? ctx.trqExtCardConfirm() : 0;
}

int invokeVerSigConfirm() {
    return ctx.trqVerSigConfirm ? ctx.trqVerSigConfirm() : 0;
}

void invokeAdviceFlag() {
    if (ctx.trqAdviceFlag) ctx.trqAdviceFlag();
}

void trqTransformCarddata(char* dest, std::size_t destSize, const std::uint8_t* packed,
                          std::int32_t n) {
    writeLog("trqTransformCarddata", 0);
    if (!dest || destSize == 0) return;
    // The length comes from the terminal: never more than the 19 bytes of cardData, and never
    // more digits than the destination holds.
    std::size_t count = n > 0 && packed ? static_cast<std::size_t>(n) : 0;
    count = std::min({count, CARD_DATA_LEN, (destSize - 1) / 2});
    std::size_t pos = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned high = packed[i] >> 4;
        const unsigned low = packed[i] & 0x0Fu;
        dest[pos++] = static_cast<char>('0' + high);
        // A low half-byte above 9 in the last byte is a filler, not a digit.
        if (i + 1 < count || low <= 9) dest[pos++] = static_cast<char>('0' + low);
    }
    dest[pos] = '\0';
}

void storeCallback(int kind, void* routine) {
    switch (kind) {
    case 0:
        ctx.trqSetCarddata = reinterpret_cast<trqSetCarddataFn>(routine);
        break;
    case 1:
        ctx.trqPrintReceipt = reinterpret_cast<trqPrintReceiptFn>(routine);
        break;
    case 2:
        ctx.trqDisplayStatus = reinterpret_cast<trqDisplayStatusFn>(routine);
        break;
    case 3:
        ctx.getPosAbortEvent = reinterpret_cast<trqAbortQueryFn>(routine);
        break;
    case 4:
        ctx.trqExtCardConfirm = reinterpret_cast<trqExtCardConfirmFn>(routine);
        break;
    case 5:
        ctx.trqVerSigConfirm = reinterpret_cast<trqVerSigConfirmFn>(routine);
        break;
    case 6:
        ctx.trqAdviceFlag = reinterpret_cast<trqAdviceFlagFn>(routine);
        break;
    default:
        break;
    }
}

} // namespace tarq
