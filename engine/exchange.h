// One exchange with the terminal per call: the sequence every payment and every administrative
// command runs, whoever starts it (the exported operations, the tests, the benchmarks).
#pragma once

#include "core/context.h"

namespace tarq {

// A payment: the call's state reset, `request` taken over (its card fields are wiped in the
// caller's copy), the request sent and the main loop run until the exchange ends. The result is
// the terminal's, or the driver's own (time-out, no connection).
int runPayment(PaymentRequest&& request);
// An administrative command: the call's state reset, the command sent and the main loop run to
// its result. A restart waits for no answer: TRQ_RESTART_SENT once the link acknowledged it,
// else TRQ_NO_RESULT.
int runAdminCommand(int code);

// The two halves of both, for a call that enters the loop another way (tests): the per-call
// reset for a request of `kind`, and the main loop run until the exchange ends.
void beginCall(RequestKind kind);
int runToResult();

} // namespace tarq
