// Internal helpers shared by the exported operations (open/close, payments, commands).
#pragma once

#include "core/console.h"
#include "protocol/trace.h"

#include <cstdint>
#include <utility>

namespace tarq {

// Creates the link over the configured line. 0 link created, 1 failure.
int rs232Open();
// Deletes the link (closing the port); safe when there is none.
void rs232Close();
// The two version lines of the Java bridge's module.
void printVersion();
// 0 when payments and commands may run; otherwise prints the refusal and returns 8 or 7.
// A line that went away since the last call is opened again first (reopenLostLine).
int connectionRefusal();
// When the open line hung up or failed since the last call, or an earlier reopen failed: does
// what trqOpen does (configuration, link, open message), so the operation that follows works.
void reopenLostLine();

// Ends the exchange an escaping exception broke off, so that the next call works.
void endFailedCall() noexcept;

// Wipes the card data when the exported call is over, however it ends.
struct CardDataScope {
    CardDataScope() = default;
    CardDataScope(const CardDataScope&) = delete;
    CardDataScope& operator=(const CardDataScope&) = delete;
    ~CardDataScope();
};

// Runs an exported operation's body; no exception may cross the C interface, so any escaping
// one ends the exchange as a failed one and becomes `onFailure`.
template <typename Body> auto guarded(decltype(std::declval<Body>()()) onFailure, Body&& body) {
    const CardDataScope wipe;
    try {
        const auto result = body();
        noteCallResult(result); // for the trace of the call
        return result;
    } catch (...) {
        endFailedCall();
        noteCallResult(onFailure);
        return onFailure;
    }
}

} // namespace tarq
