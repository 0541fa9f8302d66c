#include "core/context.h"

#include "core/config.h"
#include "link/clock.h"

namespace tarq {

DriverContext ctx;

void initGlobals() {
    writeLog("initGlobals", 0);
    ctx.adminCode = 0;
    ctx.statusLine1.fill('\0');
    ctx.statusLine2.fill('\0');
    clearCallFlags();
    ctx.gstResultData = 1;
    ctx.issuerID = 0;
    ctx.tagIssuerID = 0;
    ctx.receiptSegment = 1;
    ctx.gstPosReceiptInfo.receipts = 0;
    ctx.track2Length = 19;
    ctx.cardReceived = 0;
    ctx.track2LengthReceived = 0;
    ctx.lastTerminalActivity = nowSeconds();
    ctx.resendCount = 0;
}

void clearCallFlags() {
    ctx.callAbortFunc = 0;
    ctx.verSigPending = 0;
    ctx.pendingEcrAbort = 0;
    ctx.ecrRequestsAnswer = 0;
    ctx.timeStampTermNotReady = 0;
    ctx.disconnectToTerminal = 0;
}

void wipeCardFields(PaymentRequest& request) {
    secureZero(request.cardNo);
    secureZero(request.expDate);
    secureZero(request.cvc);
}

void wipeCardData() {
    secureZero(ctx.cardData);
    wipeCardFields(ctx.request);
}

void resetDriverContext() {
    ctx = DriverContext{};
}

} // namespace tarq
