// Exported payment operations.
#include "driver/request.h"
#include "driver/support.h"
#include "engine/exchange.h"
#include "tarqdriver.h"

#include <utility>

namespace tarq {
namespace {

// The argument checks, in their fixed order; 0 when the request may go to the terminal.
int checkPayment(int transactionType, int amount, int purchaseAmount) {
    if (transactionType > 6) {
        say("illegal transactionType %d\n", transactionType);
        return TRQ_ILLEGAL_TYPE;
    }
    if (transactionType != 5) {
        if (amount > TRQ_MAX_AMOUNT) {
            say("  MAX_AMOUNT %d\n", TRQ_MAX_AMOUNT);
            return TRQ_AMOUNT_TOO_HIGH;
        }
        if (amount < TRQ_MIN_AMOUNT) {
            say("  MIN_AMOUNT %d\n", TRQ_MIN_AMOUNT);
            return TRQ_AMOUNT_TOO_LOW;
        }
        if (amount < purchaseAmount) {
            say("amount < purchaseamount  %d %d\n", amount, purchaseAmount);
            return TRQ_AMOUNT_BELOW_PURCHASE;
        }
    }
    return connectionRefusal();
}

} // namespace
} // namespace tarq

using namespace tarq;

extern "C" {

int trqNorTransaction(int transactionType, int amount, int currencyCode, char merchIn,
                      int confirmExtCard, int purchaseAmount, const char* posData,
                      const char* dataToHost, int multiID, int secondNumber, const char* cardNo,
                      const char* expDate, const char* cvc) {
    // The trace reads the texts as far as their fields' widths, like the driver, no further.
    const PaymentRequest& f = ctx.request;
    const TraceCall call("trqNorTransaction",
                         {transactionType, amount, currencyCode, merchIn, confirmExtCard,
                          purchaseAmount, TraceArg::field(posData, f.posData.size()),
                          TraceArg::field(dataToHost, f.dataToHost.size()), multiID, secondNumber,
                          TraceArg::pan(cardNo, f.cardNo.size()),
                          TraceArg::secret(expDate, f.expDate.size()),
                          TraceArg::secret(cvc, f.cvc.size())});
    return guarded(TRQ_NO_RESULT, [&] {
        if (const int refusal = checkPayment(transactionType, amount, purchaseAmount))
            return refusal;
        PaymentRequest r;
        r.confirmExtCard = confirmExtCard;
        r.transactionType = transactionType;
        r.merchIn = merchIn;
        r.currencyCode = currencyCode;
        r.amount = amount;
        r.purchaseAmount = purchaseAmount;
        copyRequestText(r.posData, posData);
        copyRequestText(r.dataToHost, dataToHost);
        r.multiID = multiID;
        r.secondNumber = secondNumber;
        copyRequestText(r.cardNo, cardNo);
        copyRequestText(r.expDate, expDate);
        copyRequestText(r.cvc, cvc);
        return runPayment(std::move(r));
    });
}

int trqNorCardTransaction(int transactionType, int amount, int currencyCode, char merchIn,
                          int confirmExtCard, int purchaseAmount, const char* posData,
                          const char* dataToHost) {
    const TraceCall call("trqNorCardTransaction",
                         {transactionType, amount, currencyCode, merchIn, confirmExtCard,
                          purchaseAmount, TraceArg::field(posData, ctx.request.posData.size()),
                          TraceArg::field(dataToHost, ctx.request.dataToHost.size())});
    return trqNorTransaction(transactionType, amount, currencyCode, merchIn, confirmExtCard,
                             purchaseAmount, posData, dataToHost, 0, 0, "", "", "");
}

int trqCardTransaction(int transactionType, int amount, int currencyCode, char merchIn,
                       int confirmExtCard) {
    const TraceCall call("trqCardTransaction",
                         {transactionType, amount, currencyCode, merchIn, confirmExtCard});
    return guarded(TRQ_NOT_AVAILABLE, [] {
        say("trqCardTransaction - DK\n");
        return TRQ_NOT_AVAILABLE;
    });
}

} // extern "C"
