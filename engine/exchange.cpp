#include "engine/exchange.h"

#include "core/sa.h"
#include "engine/mainloop.h"
#include "engine/requests.h"
#include "engine/table.h"
#include "link/pkiss.h"
#include "tarqdriver.h"

namespace tarq {
namespace {

// The caller's copy of the card data does not outlive the hand-over, however it ends.
struct CardFieldsWipe {
    PaymentRequest& request;
    ~CardFieldsWipe() { wipeCardFields(request); }
};

} // namespace

void beginCall(RequestKind kind) {
    ctx.requestKind = kind;
    initGlobals();
    // Built after initGlobals cleared the display and before the abort count is reset: its
    // time-out entry follows both.
    if (kind == RequestKind::payment) addEventArray(PSTATE_MI_CU_CARDSWIPE, initMiCucardswipe());
    ctx.abortCounter = 0;
    // Only a payment may be aborted by the cash register.
    ctx.callAbortFunc = kind == RequestKind::payment ? 1 : 0;
}

int runToResult() {
    // The abort question needs no clearing here: the next call's reset sets it anew.
    callMainLoop();
    return ctx.gstResultData;
}

int runPayment(PaymentRequest&& request) {
    {
        const CardFieldsWipe wipe{request};
        beginCall(RequestKind::payment);
        ctx.request = request;
    }
    sendCardTransaction();
    return runToResult();
}

int runAdminCommand(int code) {
    // Every command is read alike, the service range included: only a payment is told apart.
    beginCall(RequestKind::admin);
    ctx.adminCode = code;
    const int sent = postEvent(PEVENT_ADMIN);
    // A restart waits for no answer: only the link's acknowledgement tells that it arrived.
    if (code == TRQ_ADMIN_RESTART)
        return sent == PKISS_ACKNOWLEDGED ? TRQ_RESTART_SENT : TRQ_NO_RESULT;
    return runToResult();
}

} // namespace tarq
