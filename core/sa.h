// The state automaton: ten states, forty events, one entry (handler, next state) per pair.
#pragma once

#include <array>
#include <cstdint>

namespace tarq {

inline constexpr int PSTATE_IDLE = 0;
inline constexpr int PSTATE_OPEN = 1;
inline constexpr int PSTATE_MI = 2;
inline constexpr int PSTATE_MI_CU = 3;
inline constexpr int PSTATE_MI_CU_AMOUNT = 4;
inline constexpr int PSTATE_MI_CU_AMOUNT_CARDSWIPE = 5;
inline constexpr int PSTATE_CARDSWIPE = 6;
inline constexpr int PSTATE_MI_CARDSWIPE = 7;
inline constexpr int PSTATE_MI_CU_CARDSWIPE = 8;
inline constexpr int PSTATE_TERM_NOT_READY = 9;
inline constexpr int PSTATE_UNSET = 10;
inline constexpr int SA_NUM_STATES = 10;

inline constexpr int PEVENT_OPEN = 0;
inline constexpr int PEVENT_CLOSE = 1;
inline constexpr int PEVENT_MI = 2;
inline constexpr int PEVENT_AMOUNT = 3;
inline constexpr int PEVENT_CARDSWIPE = 4;
inline constexpr int PEVENT_RECEIPT = 5;
inline constexpr int PEVENT_CONFIRM = 6;
inline constexpr int PEVENT_ABORT = 7;
inline constexpr int PEVENT_STATUS = 8;
inline constexpr int PEVENT_RECEIPT_FINAL = 10;
inline constexpr int PEVENT_SPARE_13 = 13;
inline constexpr int PEVENT_SPARE_14 = 14;
inline constexpr int PEVENT_SPARE_15 = 15;
inline constexpr int PEVENT_SPARE_16 = 16;
inline constexpr int PEVENT_IDLE = 17;
inline constexpr int PEVENT_SPARE_18 = 18;
inline constexpr int PEVENT_VERSIG_ASK = 19;
inline constexpr int PEVENT_SPARE_20 = 20;
inline constexpr int PEVENT_SPARE_21 = 21;
inline constexpr int PEVENT_SPARE_22 = 22;
inline constexpr int PEVENT_CURRENCYCODE = 23;
inline constexpr int PEVENT_CARDNAME = 24;
inline constexpr int PEVENT_ADMIN = 25;
inline constexpr int PEVENT_OKPOS = 26;
inline constexpr int PEVENT_ADVICE_FLAG = 27;
inline constexpr int PEVENT_VERSIG_ANSWER = 28;
inline constexpr int PEVENT_REFUND = 29;
inline constexpr int PEVENT_EMPTY = 30;
inline constexpr int PEVENT_CONFIRM_EXTCARD = 31;
inline constexpr int PEVENT_TIMEOUT = 33;
inline constexpr int PEVENT_TRANS_COMPLETED = 34;
inline constexpr int PEVENT_TERM_NOT_READY = 35;
inline constexpr int PEVENT_RESEND = 36;
inline constexpr int PEVENT_TIMEOUT_NOCONNECTION = 37;
inline constexpr int PEVENT_NO_RECEIPT = 38;
inline constexpr int PEVENT_NO_LOG = 39;
inline constexpr int SA_NUM_EVENTS = 40;

struct SA_EVENT {
    std::int32_t event_id = PEVENT_EMPTY;
    std::int32_t reserved = 0;
};

struct SA_ANSWER {
    std::uint32_t answer_ID = 0;
    std::int32_t state = 0; // state in which the event arrived
    std::uint8_t flag = 1;
};

using SA_HANDLER = SA_ANSWER* (*)(SA_EVENT*);

struct SA_ENTRY {
    std::int32_t next_state = PSTATE_UNSET;
    SA_HANDLER handler = nullptr;
};

using SA_EVENT_ARRAY = std::array<SA_ENTRY, SA_NUM_EVENTS>;

void SA_init();
void initEventArray(SA_EVENT_ARRAY* array);
void addEvent(SA_EVENT_ARRAY* array, int event, int nextState, SA_HANDLER handler);
void addEventArray(int state, SA_EVENT_ARRAY* array);
// Runs the entry of (cur_state, event); the next state is applied after the handler returns.
SA_ANSWER* SA_handleEvent(SA_EVENT* event);
// Runs `handler` as if the current state had the entry (handler, nextState) for the event: the
// next state is applied after the handler returns. The registered table is not touched.
SA_ANSWER* SA_handleEventAs(SA_EVENT* event, SA_HANDLER handler, int nextState);
int SA_getState();
// Heap event record with the given id (the rest as a new record starts); nullptr when out of
// memory.
SA_EVENT* SA_newEvent(int eventId);
// Registered array of a state (nullptr when none); for tests and the table.
const SA_EVENT_ARRAY* SA_getEventArray(int state);
// Puts the automaton in a state without running an entry: for an exchange abandoned midway.
void SA_restoreState(int state);
// Forces the current state; for tests only.
void SA_setStateForTest(int state);

// The display prompts that a time-out should answer with an abort. The table of the payment
// state counts the confirmation prompt only while fewer than three aborts have gone out, so it
// asks for the two parts separately.
// Line 1 begins "BEKREFT".
bool isConfirmPrompt();
// Line 1 begins "VENTER", or line 2 begins "RESERVE", " RESERVE" or "AVBRUTT PGA TIMEOUT".
bool isOtherAbortablePrompt();
// Either of the two above.
bool isAbortablePrompt();

} // namespace tarq
