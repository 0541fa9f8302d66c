#include "engine/table.h"

#include "core/context.h"
#include "engine/handlers.h"

#include <cstdint>

namespace tarq {
namespace {

// Storage of the ten arrays; rebuilding one overwrites it in place.
SA_EVENT_ARRAY idleArray;
SA_EVENT_ARRAY openArray;
SA_EVENT_ARRAY miArray;
SA_EVENT_ARRAY miCuArray;
SA_EVENT_ARRAY miCuAmountArray;
SA_EVENT_ARRAY miCuAmountCardswipeArray;
SA_EVENT_ARRAY cardswipeArray;
SA_EVENT_ARRAY miCardswipeArray;
SA_EVENT_ARRAY miCuCardswipeArray;
SA_EVENT_ARRAY termNotReadyArray;

} // namespace

SA_EVENT_ARRAY* initIdle() {
    SA_EVENT_ARRAY* a = &idleArray;
    initEventArray(a);
    addEvent(a, PEVENT_OPEN, PSTATE_OPEN, handleOpen);
    addEvent(a, PEVENT_CLOSE, PSTATE_IDLE, handleClose);
    return a;
}

SA_EVENT_ARRAY* initOpen() {
    SA_EVENT_ARRAY* a = &openArray;
    initEventArray(a);
    addEvent(a, PEVENT_CLOSE, PSTATE_IDLE, handleClose);
    addEvent(a, PEVENT_MI, PSTATE_MI, handleMI);
    addEvent(a, PEVENT_CARDSWIPE, PSTATE_CARDSWIPE, handleCardswipe);
    addEvent(a, PEVENT_CARDNAME, PSTATE_CARDSWIPE, handlecardname);
    addEvent(a, PEVENT_ADMIN, PSTATE_OPEN, handleAdmin);
    addEvent(a, PEVENT_RECEIPT_FINAL, PSTATE_OPEN, handleReceipt);
    addEvent(a, PEVENT_RECEIPT, PSTATE_OPEN, handleReceipt);
    addEvent(a, PEVENT_ADVICE_FLAG, PSTATE_OPEN, handleAdviceFlag);
    addEvent(a, PEVENT_REFUND, PSTATE_OPEN, handleRefund);
    addEvent(a, PEVENT_CONFIRM_EXTCARD, PSTATE_OPEN, handleConfirmExtCard);
    addEvent(a, PEVENT_STATUS, PSTATE_OPEN, handleStatusState);
    addEvent(a, PEVENT_IDLE, PSTATE_OPEN, handleIdle);
    addEvent(a, PEVENT_TIMEOUT, PSTATE_OPEN, handleTimeout);
    addEvent(a, PEVENT_TIMEOUT_NOCONNECTION, PSTATE_OPEN, handleNoConnection);
    return a;
}

SA_EVENT_ARRAY* initMi() {
    SA_EVENT_ARRAY* a = &miArray;
    initEventArray(a);
    addEvent(a, PEVENT_CARDSWIPE, PSTATE_MI_CARDSWIPE, handleCardswipe);
    addEvent(a, PEVENT_CARDNAME, PSTATE_MI_CARDSWIPE, handlecardname);
    addEvent(a, PEVENT_SPARE_14, PSTATE_MI, handleAbort);
    addEvent(a, PEVENT_ABORT, PSTATE_MI, handleAbort);
    addEvent(a, PEVENT_CURRENCYCODE, PSTATE_MI_CU, handleCurrenycode);
    addEvent(a, PEVENT_ADVICE_FLAG, PSTATE_MI_CU, handleAdviceFlag);
    addEvent(a, PEVENT_TIMEOUT, PSTATE_OPEN, handleTimeout);
    addEvent(a, PEVENT_CONFIRM_EXTCARD, PSTATE_OPEN, handleTimeout);
    addEvent(a, PEVENT_TRANS_COMPLETED, PSTATE_OPEN, handleTransComplete);
    addEvent(a, PEVENT_STATUS, PSTATE_MI, handleStatusState);
    return a;
}

SA_EVENT_ARRAY* initMiCu() {
    SA_EVENT_ARRAY* a = &miCuArray;
    initEventArray(a);
    addEvent(a, PEVENT_STATUS, PSTATE_MI_CU, handleStatusState);
    addEvent(a, PEVENT_CARDSWIPE, PSTATE_MI_CU_CARDSWIPE, handleCardswipe);
    addEvent(a, PEVENT_CARDNAME, PSTATE_MI_CU_CARDSWIPE, handlecardname);
    addEvent(a, PEVENT_ABORT, PSTATE_MI_CU, handleAbort);
    addEvent(a, PEVENT_AMOUNT, PSTATE_MI_CU_AMOUNT, handleAmount);
    addEvent(a, PEVENT_ADVICE_FLAG, PSTATE_MI_CU_AMOUNT, handleAdviceFlag);
    addEvent(a, PEVENT_TIMEOUT, PSTATE_OPEN, handleTimeout);
    addEvent(a, PEVENT_TIMEOUT_NOCONNECTION, PSTATE_OPEN, handleNoConnection);
    addEvent(a, PEVENT_NO_RECEIPT, PSTATE_OPEN, handleNoReceipt);
    addEvent(a, PEVENT_NO_LOG, PSTATE_OPEN, handleNoLog);
    addEvent(a, PEVENT_CONFIRM_EXTCARD, PSTATE_MI_CU, handleConfirmExtCard);
    addEvent(a, PEVENT_TRANS_COMPLETED, PSTATE_OPEN, handleTransComplete);
    addEvent(a, PEVENT_TERM_NOT_READY, PSTATE_TERM_NOT_READY, handleTermNotReady);
    addEvent(a, PEVENT_REFUND, PSTATE_MI_CU, handleRefund);
    addEvent(a, PEVENT_EMPTY, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_OKPOS, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_ADMIN, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_CONFIRM, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_RECEIPT_FINAL, PSTATE_OPEN, handleReceipt);
    addEvent(a, PEVENT_RECEIPT, PSTATE_MI_CU, handleReceipt);
    addEvent(a, PEVENT_SPARE_13, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_SPARE_14, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_SPARE_15, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_SPARE_16, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_SPARE_18, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_VERSIG_ANSWER, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_VERSIG_ASK, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_SPARE_20, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_SPARE_21, PSTATE_MI_CU, handleDefault);
    addEvent(a, PEVENT_SPARE_22, PSTATE_MI_CU, handleDefault);
    return a;
}

// In PSTATE_MI_CU_AMOUNT to PSTATE_MI_CU_CARDSWIPE a completion without an entry would be
// handled the same way (the main loop's fallback); the entries are kept for the table's sake.
SA_EVENT_ARRAY* initMiCuAmount() {
    SA_EVENT_ARRAY* a = &miCuAmountArray;
    initEventArray(a);
    addEvent(a, PEVENT_CARDSWIPE, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleCardswipe);
    addEvent(a, PEVENT_CARDNAME, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handlecardname);
    addEvent(a, PEVENT_ABORT, PSTATE_MI_CU_AMOUNT, handleAbort);
    addEvent(a, PEVENT_RECEIPT_FINAL, PSTATE_MI_CU_AMOUNT, handleReceipt);
    addEvent(a, PEVENT_RECEIPT, PSTATE_MI_CU_AMOUNT, handleReceipt);
    addEvent(a, PEVENT_ADVICE_FLAG, PSTATE_MI_CU_AMOUNT, handleAdviceFlag);
    addEvent(a, PEVENT_TIMEOUT, PSTATE_OPEN, handleTimeout);
    addEvent(a, PEVENT_TRANS_COMPLETED, PSTATE_OPEN, handleTransComplete); // as the fallback
    addEvent(a, PEVENT_STATUS, PSTATE_MI_CU_AMOUNT, handleStatusState);
    return a;
}

SA_EVENT_ARRAY* initMiCuAmountCardswipe() {
    SA_EVENT_ARRAY* a = &miCuAmountCardswipeArray;
    initEventArray(a);
    addEvent(a, PEVENT_STATUS, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleStatusState);
    addEvent(a, PEVENT_ABORT, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleAbort);
    addEvent(a, PEVENT_RECEIPT_FINAL, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleReceipt);
    addEvent(a, PEVENT_RECEIPT, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleReceipt);
    addEvent(a, PEVENT_CARDNAME, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handlecardname);
    addEvent(a, PEVENT_OKPOS, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleOkPos);
    addEvent(a, PEVENT_ADVICE_FLAG, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleAdviceFlag);
    addEvent(a, PEVENT_TIMEOUT, PSTATE_OPEN, handleTimeout);
    addEvent(a, PEVENT_TRANS_COMPLETED, PSTATE_OPEN, handleTransComplete); // as the fallback
    addEvent(a, PEVENT_VERSIG_ASK, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleVerSigAsk);
    addEvent(a, PEVENT_VERSIG_ANSWER, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleVerSigAns);
    addEvent(a, PEVENT_CONFIRM, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleConfirm);
    return a;
}

SA_EVENT_ARRAY* initCardswipe() {
    SA_EVENT_ARRAY* a = &cardswipeArray;
    initEventArray(a);
    addEvent(a, PEVENT_STATUS, PSTATE_CARDSWIPE, handleStatusState);
    addEvent(a, PEVENT_MI, PSTATE_MI_CARDSWIPE, handleDefault);
    addEvent(a, PEVENT_ABORT, PSTATE_CARDSWIPE, handleAbort);
    addEvent(a, PEVENT_RECEIPT_FINAL, PSTATE_CARDSWIPE, handleReceipt);
    addEvent(a, PEVENT_RECEIPT, PSTATE_CARDSWIPE, handleReceipt);
    addEvent(a, PEVENT_CARDNAME, PSTATE_CARDSWIPE, handlecardname);
    addEvent(a, PEVENT_ADVICE_FLAG, PSTATE_CARDSWIPE, handleAdviceFlag);
    addEvent(a, PEVENT_TIMEOUT, PSTATE_OPEN, handleTimeout);
    addEvent(a, PEVENT_TRANS_COMPLETED, PSTATE_OPEN, handleTransComplete); // as the fallback
    return a;
}

SA_EVENT_ARRAY* initMiCardswipe() {
    SA_EVENT_ARRAY* a = &miCardswipeArray;
    initEventArray(a);
    addEvent(a, PEVENT_CURRENCYCODE, PSTATE_MI_CU_CARDSWIPE, handleCurrenycode);
    addEvent(a, PEVENT_CARDNAME, PSTATE_MI_CARDSWIPE, handlecardname);
    addEvent(a, PEVENT_ADVICE_FLAG, PSTATE_MI_CARDSWIPE, handleAdviceFlag);
    addEvent(a, PEVENT_TIMEOUT, PSTATE_OPEN, handleTimeout);
    addEvent(a, PEVENT_TRANS_COMPLETED, PSTATE_OPEN, handleTransComplete); // as the fallback
    addEvent(a, PEVENT_STATUS, PSTATE_MI_CARDSWIPE, handleStatusState);
    return a;
}

SA_EVENT_ARRAY* initMiCucardswipe() {
    SA_EVENT_ARRAY* a = &miCuCardswipeArray;
    initEventArray(a);
    addEvent(a, PEVENT_ABORT, PSTATE_MI_CU_CARDSWIPE, handleAbort);
    addEvent(a, PEVENT_AMOUNT, PSTATE_MI_CU_AMOUNT_CARDSWIPE, handleDefault);
    addEvent(a, PEVENT_RECEIPT_FINAL, PSTATE_MI_CU_CARDSWIPE, handleReceipt);
    addEvent(a, PEVENT_RECEIPT, PSTATE_MI_CU_CARDSWIPE, handleReceipt);
    addEvent(a, PEVENT_CARDNAME, PSTATE_MI_CU_CARDSWIPE, handlecardname);
    addEvent(a, PEVENT_ADVICE_FLAG, PSTATE_MI_CU_CARDSWIPE, handleAdviceFlag);
    // A time-out while the display asks the cardholder something is answered with an abort;
    // "BEKREFT" counts only while fewer than three aborts have gone out.
    const bool prompt = (static_cast<std::uint32_t>(ctx.abortCounter) <= 2 && isConfirmPrompt()) ||
                        isOtherAbortablePrompt();
    if (prompt)
        addEvent(a, PEVENT_TIMEOUT, PSTATE_MI_CU_CARDSWIPE, handleAbort);
    else
        addEvent(a, PEVENT_TIMEOUT, PSTATE_OPEN, handleTimeout);
    addEvent(a, PEVENT_CONFIRM_EXTCARD, PSTATE_MI_CU_CARDSWIPE, handleConfirm);
    addEvent(a, PEVENT_TRANS_COMPLETED, PSTATE_OPEN, handleTransComplete); // as the fallback
    addEvent(a, PEVENT_STATUS, PSTATE_MI_CU_CARDSWIPE, handleStatusState);
    addEvent(a, PEVENT_VERSIG_ASK, PSTATE_MI_CU_CARDSWIPE, handleVerSigAsk);
    addEvent(a, PEVENT_VERSIG_ANSWER, PSTATE_MI_CU_CARDSWIPE, handleVerSigAns);
    addEvent(a, PEVENT_CONFIRM, PSTATE_MI_CU_CARDSWIPE, handleConfirm);
    return a;
}

SA_EVENT_ARRAY* initTermNotReady() {
    SA_EVENT_ARRAY* a = &termNotReadyArray;
    initEventArray(a);
    addEvent(a, PEVENT_RESEND, PSTATE_MI_CU, handleResend);
    addEvent(a, PEVENT_MI, PSTATE_MI, handleMI);
    addEvent(a, PEVENT_CONFIRM_EXTCARD, PSTATE_OPEN, handleConfirmExtCard);
    addEvent(a, PEVENT_REFUND, PSTATE_OPEN, handleRefund);
    return a;
}

void setupStateMachine() {
    SA_init();
    addEventArray(PSTATE_IDLE, initIdle());
    addEventArray(PSTATE_OPEN, initOpen());
    addEventArray(PSTATE_MI, initMi());
    addEventArray(PSTATE_MI_CU, initMiCu());
    addEventArray(PSTATE_MI_CU_AMOUNT, initMiCuAmount());
    addEventArray(PSTATE_MI_CU_AMOUNT_CARDSWIPE, initMiCuAmountCardswipe());
    addEventArray(PSTATE_CARDSWIPE, initCardswipe());
    addEventArray(PSTATE_MI_CARDSWIPE, initMiCardswipe());
    addEventArray(PSTATE_MI_CU_CARDSWIPE, initMiCucardswipe());
    addEventArray(PSTATE_TERM_NOT_READY, initTermNotReady());
}

} // namespace tarq
