// The main loop, its event sources and timers; and the opening messages of requests.
#pragma once

#include "engine/sa.h"

#include <cstdint>

namespace tarq {

inline constexpr std::int64_t TIMEOUT_TERMINALANSWER = 95;
inline constexpr std::int64_t TIMEOUT_TERM_NOT_READY = 6;
inline constexpr std::int64_t TIMEOUT_ANSWERREQ = 10;

void callMainLoop();
SA_EVENT* getEvent();
SA_EVENT* getPosAbortEvent();
SA_EVENT* checkTimers();
void sendVerSigAnswer();
void freeCurrentEcrEvent();

// Builds an event, dispatches it, sends the answer, frees both. Result of the send (0 none).
int postEvent(int eventId);
// External-card confirmation (when asked), MI, 200 ms, currency code.
void sendCardTransaction();

} // namespace tarq
