// The driver's own requests: events posted outside the main loop.
#pragma once

namespace tarq {

// Builds an event, dispatches it, sends the answer, frees both. Result of the send (0 none).
// `answered`, when given, tells whether the automaton produced an answer record at all.
int postEvent(int eventId, bool* answered = nullptr);
// External-card confirmation (when asked), MI, 200 ms, currency code.
void sendCardTransaction();

} // namespace tarq
