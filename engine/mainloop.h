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

} // namespace tarq
