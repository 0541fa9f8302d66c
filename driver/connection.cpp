// Exported operations that prepare the driver and bring the connection up and down.
#include "driver/support.h"

#include "core/callbacks.h"
#include "core/config.h"
#include "core/context.h"
#include "core/sa.h"
#include "engine/requests.h"
#include "engine/table.h"
#include "link/pkiss.h"
#include "tarqdriver.h"

#include <memory>

namespace tarq {
namespace {

// Moves a freshly initialised automaton to the open state without talking to the terminal,
// which already has the connection open.
void replayOpenTransition() {
    std::unique_ptr<SA_EVENT> event(SA_newEvent(PEVENT_OPEN));
    if (!event) return;
    std::unique_ptr<SA_ANSWER> discarded(SA_handleEvent(event.get()));
}

int doOpen(TraceCall& call, unsigned short port) {
    ctx.requestKind = RequestKind::open;
    if (ctx.openStanding()) {
        int result = 0;
        if (ctx.openCompleted()) {
            say("TARQ already open %d %d\n", ctx.closedFlag, ctx.openStatus);
            result = TRQ_OPEN_ALREADY;
        } else {
            say("TARQ not opened successfully %d %d\n", ctx.closedFlag, ctx.openStatus);
            result = TRQ_OPEN_INCOMPLETE;
        }
        ctx.openStatus = result;
        return result;
    }
    ctx.lineLost = false;
    int result = 0;
    if (getDriverDll() == 0) {
        result = TRQ_OPEN_NO_MODULE;
    } else if (ReadParameters() != 0) {
        result = TRQ_OPEN_NO_CONFIG;
    } else {
        traceOpen(ctx.iniPath.data()); // read at every open, like the line's settings
        call.traceStarted({TraceArg::unread(), port});
        ctx.closedFlag = 0;
        // A link left from an open that built no message (before any trqInitCallback) still
        // holds the port; reopening over it would leak it and fail on the busy port.
        rs232Close();
        if (rs232Open() != 0) {
            result = TRQ_OPEN_NO_LINK;
            say("Failed to connect %d\n", result);
        } else {
            bool answered = false;
            const int sent = postEvent(PEVENT_OPEN, &answered);
            if (answered)
                result = sent != 0 ? TRQ_OPEN_OK : TRQ_OPEN_NOT_DELIVERED;
            else
                result = TRQ_OPEN_NO_MESSAGE;
        }
    }
    ctx.openStatus = result;
    return result;
}

int doClose() {
    int result = TRQ_CLOSE_OK;
    bool answered = false;
    if (postEvent(PEVENT_CLOSE, &answered) == 0 && answered) result = TRQ_CLOSE_NOT_DELIVERED;
    rs232Close();
    ctx.openStatus = 0;
    ctx.closedFlag = 1;
    return result;
}

} // namespace

void reopenLostLine() {
    if (ctx.closedFlag == 1) return;
    // The flags first: looking at the line costs a system call on every operation.
    if (!ctx.lineLost &&
        !(ctx.openCompleted() && ctx.pKiss != nullptr && PRS232_Gone(ctx.pKiss->port) != 0))
        return;
    say("TARQ line lost, opening again\n");
    TraceCall call("reopen", {TraceArg::unread(), 0});
    // Nothing of the broken exchange goes out again: the automaton starts from idle, as after a
    // close, and the terminal gets an open message first.
    SA_restoreState(PSTATE_IDLE);
    ctx.openStatus = 0;
    const int result = doOpen(call, 0);
    ctx.lineLost = result != TRQ_OPEN_OK;
    noteCallResult(result);
}

} // namespace tarq

using namespace tarq;

extern "C" {

void trqInitCallback(int kind, void* routine) {
    const TraceCall call("trqInitCallback", {kind, routine}, false);
    try {
        const bool open = ctx.openCompleted(); // a close leaves openStatus 0
        setupStateMachine();
        // The terminal still has the connection open: an automaton left idle would drop every
        // request of the next operation until its time-out.
        if (open) replayOpenTransition();
        storeCallback(kind, routine);
        initGlobals();
    } catch (...) {
    }
}

int trqOpen(const char* address, unsigned short port) {
    // The address is not used: the line is configured in tarqRS.ini.
    (void)address;
    TraceCall call("trqOpen", {TraceArg::unread(), port});
    return guarded(TRQ_OPEN_NOT_DELIVERED, [&] { return doOpen(call, port); });
}

int trqOpenRS232(void) {
    const TraceCall call("trqOpenRS232");
    return guarded(TRQ_OPEN_NOT_DELIVERED, [] {
        say("trqOpenRS232\n");
        return trqOpen("127.0.0.1", 2000);
    });
}

int trqClose(int reason) {
    const TraceCall call("trqClose", {reason});
    return guarded(TRQ_CLOSE_NOT_DELIVERED, [] { return doClose(); });
}

int trqCloseRS232(void) {
    const TraceCall call("trqCloseRS232");
    return guarded(TRQ_CLOSE_NOT_DELIVERED, [] {
        say("trqCloseRS232 %d %d\n", ctx.closedFlag, ctx.openStatus);
        if (ctx.closedFlag == 1) {
            say("TARQ already closed %d %d\n", ctx.closedFlag, ctx.openStatus);
            return TRQ_CLOSE_ALREADY;
        }
        if (ctx.openFailed()) {
            say("TARQ is not open! ComPort may be busy. %d %d\n", ctx.closedFlag, ctx.openStatus);
            return TRQ_CLOSE_NOT_OPEN;
        }
        return doClose();
    });
}

} // extern "C"
