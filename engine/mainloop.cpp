#include "engine/mainloop.h"

#include "core/callbacks.h"
#include "core/console.h"
#include "core/context.h"
#include "engine/handlers.h"
#include "engine/table.h"
#include "link/clock.h"
#include "protocol/transport.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace tarq {
namespace {

// The record made by the loop's own sources; freed before each getEvent.
std::unique_ptr<SA_EVENT> currentEcrEvent;

enum class Source { none, ecrAbort, timer };
// Which source made the event that getEvent returned last.
Source lastSource = Source::none;

SA_EVENT* makeCurrent(int eventId) {
    currentEcrEvent.reset(SA_newEvent(eventId));
    return currentEcrEvent.get();
}

bool hasEntry(int state, int eventId) {
    const SA_EVENT_ARRAY* array = SA_getEventArray(state);
    if (!array || eventId < 0 || eventId >= SA_NUM_EVENTS) return false;
    return (*array)[static_cast<std::size_t>(eventId)].handler != nullptr;
}
bool hasEntry(int eventId) {
    return hasEntry(SA_getState(), eventId);
}

bool isCompletion(int eventId) {
    return eventId == PEVENT_TRANS_COMPLETED || eventId == PEVENT_TERM_NOT_READY ||
           eventId == PEVENT_NO_RECEIPT || eventId == PEVENT_NO_LOG;
}

// A terminal message's event. The table leaves some endings without an entry; the till would
// then wait for the 95 s time-out and report a made-up result although the terminal has said
// how the exchange ended.
SA_ANSWER* dispatchTerminalEvent(SA_EVENT* event) {
    const int id = event->event_id;
    const int state = SA_getState();
    if (id == PEVENT_TERM_NOT_READY && hasEntry(id) && ctx.resendCount >= MAX_RESENDS)
        return SA_handleEventAs(event, handleTransComplete, PSTATE_OPEN);
    if (SA_HANDLER fallback = terminalFallback(state, id))
        return SA_handleEventAs(event, fallback, PSTATE_OPEN);
    return SA_handleEvent(event);
}

// An event of the loop's own sources. A silent terminal must end the exchange: a time-out (or
// the abort it became) that the state does not take, or that would send a fourth abort, is
// handled as the plain time-out.
SA_ANSWER* dispatchOwnEvent(SA_EVENT* event) {
    const int id = event->event_id;
    if (lastSource == Source::timer &&
        (timerFallback(SA_getState(), id) || ((id == PEVENT_TIMEOUT || id == PEVENT_ABORT) &&
                                              static_cast<std::uint32_t>(ctx.abortCounter) > 2)))
        return SA_handleEventAs(event, handleTimeout, PSTATE_OPEN);
    return SA_handleEvent(event);
}

void dispatchAndSend(SA_ANSWER* rawAnswer) {
    std::unique_ptr<SA_ANSWER> answer(rawAnswer);
    if (answer) sendEvent(answer.get()); // a failed send is left to the time-outs
}

} // namespace

SA_HANDLER terminalFallback(int state, int eventId) {
    if (!isCompletion(eventId) || hasEntry(state, eventId)) return nullptr;
    // An administrative command ends at the terminal's idle message, with its receipts before
    // it; there a completion without an entry is ignored as the table says.
    const bool admin = ctx.requestKind == RequestKind::admin;
    if (state == PSTATE_OPEN && !admin) return handleTransComplete;
    if (state < PSTATE_MI_CU_AMOUNT || state > PSTATE_MI_CU_CARDSWIPE) return nullptr;
    // Results 3 and 4 are shown as PSTATE_MI_CU shows them.
    if (eventId == PEVENT_NO_RECEIPT) return handleNoReceipt;
    if (eventId == PEVENT_NO_LOG) return handleNoLog;
    return handleTransComplete;
}

SA_HANDLER timerFallback(int state, int eventId) {
    const bool timeOut = eventId == PEVENT_TIMEOUT || eventId == PEVENT_ABORT;
    return timeOut && !hasEntry(state, eventId) ? handleTimeout : nullptr;
}

void freeCurrentEcrEvent() {
    currentEcrEvent.reset();
}

void abandonExchange() {
    lastSource = Source::none;
    clearCallFlags();
    // The terminal still holds the connection: the next call starts from the open state.
    if (ctx.openCompleted() && SA_getState() != PSTATE_IDLE)
        SA_restoreState(PSTATE_OPEN);
}

void callMainLoop() {
    do {
        if (SA_EVENT* event = getECREvent()) dispatchAndSend(dispatchTerminalEvent(event));
        freeCurrentEcrEvent();
        if (SA_EVENT* event = getEvent()) dispatchAndSend(dispatchOwnEvent(event));
    } while (ctx.disconnectToTerminal == 0);
    ctx.pendingEcrAbort = 0;
}

SA_EVENT* getEvent() {
    lastSource = Source::none;
    if (ctx.verSigPending != 0) {
        sendVerSigAnswer();
        ctx.verSigPending = 0;
        return nullptr;
    }
    // Once the terminal no longer lets the cash register abort, a waiting abort is void.
    if (ctx.callAbortFunc == 0) ctx.pendingEcrAbort = 0;

    SA_EVENT* event = nullptr;
    if (ctx.pendingEcrAbort != 0) {
        // The cash register asked earlier, in a state that could not take it.
        if (hasEntry(PEVENT_ABORT)) {
            event = makeCurrent(PEVENT_ABORT);
            if (event) ctx.pendingEcrAbort = 0;
        }
    } else if (ctx.callAbortFunc != 0 && getPosAbortEvent() != nullptr) {
        if (hasEntry(PEVENT_ABORT)) {
            event = currentEcrEvent.get();
        } else {
            // Keep it until the state takes it; the timers meanwhile run as if not asked.
            ctx.pendingEcrAbort = 1;
            freeCurrentEcrEvent();
        }
    }
    if (event) {
        lastSource = Source::ecrAbort;
        return event;
    }
    event = checkTimers();
    if (event) lastSource = Source::timer;
    return event;
}

SA_EVENT* getPosAbortEvent() {
    if (ctx.getPosAbortEvent && invokeAbortQuery() != 0) {
        say("getPosAbortEvent\n");
        makeCurrent(PEVENT_ABORT);
    }
    return currentEcrEvent.get();
}

void sendVerSigAnswer() {
    say("\ntrqVerSigConfirm\n");
    ctx.verSigAnswer = invokeVerSigConfirm() == 1 ? 1 : 2;
    if (SA_EVENT* event = makeCurrent(PEVENT_VERSIG_ANSWER)) dispatchAndSend(SA_handleEvent(event));
    freeCurrentEcrEvent();
}

SA_EVENT* checkTimers() {
    const std::int64_t now = nowSeconds();
    if (now - ctx.lastTerminalActivity > TIMEOUT_TERMINALANSWER) {
        if (SA_EVENT* event = makeCurrent(PEVENT_TIMEOUT)) {
            if (isAbortablePrompt()) {
                addEventArray(PSTATE_MI_CU_CARDSWIPE, initMiCucardswipe());
                event->event_id = PEVENT_ABORT;
                std::memcpy(ctx.statusLine2.data(), "AVBRUTT PGA TIMEOUT ", STATUS_LINE_LEN);
            }
            if (static_cast<std::uint32_t>(ctx.abortCounter) > 2)
                addEventArray(PSTATE_MI_CU_CARDSWIPE, initMiCucardswipe());
            // lastTerminalActivity stays: a silent terminal makes the event again next time.
            return event;
        }
    }
    if (ctx.timeStampTermNotReady != 0 &&
        now - ctx.timeStampTermNotReady > TIMEOUT_TERM_NOT_READY) {
        if (SA_EVENT* event = makeCurrent(PEVENT_RESEND)) {
            ctx.timeStampTermNotReady = 0;
            return event;
        }
    }
    if (ctx.ecrRequestsAnswer != 0 && now - ctx.lastSendTime > TIMEOUT_ANSWERREQ) {
        if (makeCurrent(PEVENT_TIMEOUT_NOCONNECTION)) ctx.ecrRequestsAnswer = 0;
    }
    return currentEcrEvent.get();
}

} // namespace tarq
