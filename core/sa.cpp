#include "core/sa.h"

#include "core/context.h"
#include "link/wiretap.h"

#include <new>

namespace tarq {
namespace {

std::array<SA_EVENT_ARRAY*, SA_NUM_STATES> eventArrays{};
int cur_state = PSTATE_IDLE;

// The array slot of a state; nullptr for a state outside the automaton.
SA_EVENT_ARRAY** slotOf(int state) {
    if (state < 0 || state >= SA_NUM_STATES) return nullptr;
    return &eventArrays[static_cast<std::size_t>(state)];
}

} // namespace

void SA_init() {
    eventArrays.fill(nullptr);
    cur_state = PSTATE_IDLE;
}

void initEventArray(SA_EVENT_ARRAY* array) {
    if (array) array->fill(SA_ENTRY{});
}

void addEvent(SA_EVENT_ARRAY* array, int event, int nextState, SA_HANDLER handler) {
    if (!array || nextState < 0 || nextState >= SA_NUM_STATES || event < 0 ||
        event >= SA_NUM_EVENTS)
        return;
    (*array)[static_cast<std::size_t>(event)] = SA_ENTRY{nextState, handler};
}

void addEventArray(int state, SA_EVENT_ARRAY* array) {
    if (SA_EVENT_ARRAY** slot = slotOf(state)) *slot = array;
}

SA_ANSWER* SA_handleEvent(SA_EVENT* event) {
    if (!event) return nullptr;
    const int s = cur_state;
    const int n = event->event_id;
    if (s < 0 || s >= SA_NUM_STATES || n < 0 || n >= SA_NUM_EVENTS) return nullptr;
    SA_EVENT_ARRAY* array = eventArrays[static_cast<std::size_t>(s)];
    if (!array) return nullptr;
    const SA_HANDLER handler = (*array)[static_cast<std::size_t>(n)].handler;
    if (!handler) return nullptr;
    SA_ANSWER* answer = handler(event);
    // Read after the handler: a handler may rebuild arrays or dispatch nested events, and the
    // outer entry's next state wins.
    cur_state = (*array)[static_cast<std::size_t>(n)].next_state;
    tapState(s, n, cur_state);
    return answer;
}

SA_ANSWER* SA_handleEventAs(SA_EVENT* event, SA_HANDLER handler, int nextState) {
    if (!event || !handler || nextState < 0 || nextState >= SA_NUM_STATES) return nullptr;
    const int from = cur_state;
    SA_ANSWER* answer = handler(event);
    cur_state = nextState;
    tapState(from, event->event_id, nextState);
    return answer;
}

int SA_getState() {
    return cur_state;
}

SA_EVENT* SA_newEvent(int eventId) {
    auto* event = new (std::nothrow) SA_EVENT;
    if (!event) return nullptr;
    event->event_id = eventId;
    return event;
}

const SA_EVENT_ARRAY* SA_getEventArray(int state) {
    SA_EVENT_ARRAY* const* slot = slotOf(state);
    return slot ? *slot : nullptr;
}

void SA_restoreState(int state) {
    if (state >= 0 && state < SA_NUM_STATES) cur_state = state;
}

void SA_setStateForTest(int state) {
    cur_state = state;
}

bool isConfirmPrompt() {
    return startsWith(ctx.statusLine1, "BEKREFT");
}

bool isOtherAbortablePrompt() {
    return startsWith(ctx.statusLine1, "VENTER") || startsWith(ctx.statusLine2, "RESERVE") ||
           startsWith(ctx.statusLine2, " RESERVE") ||
           startsWith(ctx.statusLine2, "AVBRUTT PGA TIMEOUT");
}

bool isAbortablePrompt() {
    return isConfirmPrompt() || isOtherAbortablePrompt();
}

} // namespace tarq
