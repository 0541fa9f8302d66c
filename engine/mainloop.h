// The main loop, its event sources and timers.
#pragma once

#include "core/sa.h"

#include <cstdint>

namespace tarq {

inline constexpr std::int64_t TIMEOUT_TERMINALANSWER = 95;
inline constexpr std::int64_t TIMEOUT_TERM_NOT_READY = 6;
inline constexpr std::int64_t TIMEOUT_ANSWERREQ = 10;
// Resends of a payment request in one call; the next "not ready" ends the exchange.
inline constexpr std::int32_t MAX_RESENDS = 3;

// Runs until a handler sets ctx.disconnectToTerminal; the result is then ctx.gstResultData.
void callMainLoop();
SA_EVENT* getEvent();
SA_EVENT* getPosAbortEvent();
SA_EVENT* checkTimers();
void sendVerSigAnswer();
void freeCurrentEcrEvent();
// Where the table has no entry, the handler that still ends the exchange (into PSTATE_OPEN):
// for a completion from the terminal, and for the loop's own time-out or the abort it became.
// nullptr: the event is ignored.
SA_HANDLER terminalFallback(int state, int eventId);
SA_HANDLER timerFallback(int state, int eventId);
// Ends an exchange that an exception broke off: records freed, per-call flags cleared, and the
// automaton back in PSTATE_OPEN while the connection is open.
void abandonExchange();

} // namespace tarq
