// A tap on the wire and on the driver's own events, for a field trace. The link is the lowest
// layer, so every layer can report here; whoever owns the trace installs the sink. With no sink
// installed a report costs one pointer test and nothing is formatted.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace tarq {

enum class TapEvent : std::uint8_t {
    FrameOut,   // bytes: the frame as written; number: how often it has been written now
    FrameAcked, // bytes: a received frame, answered with ACK; number: the sequence acknowledged
    FrameHeld,  // bytes: a received frame, answered with WACK
    FrameBad,   // a frame refused and answered with NAK; number: its FrameFault
    AckIn,      // number: the sequence number acknowledged (-1: none came)
    NakIn,
    WackIn,
    AckTimeout, // number: transmissions so far
    GaveUp,     // number: transmissions made
    State,      // bytes: state before, event, state after
    Display,    // bytes: the two display lines, one after the other
};

// Why a received frame was refused.
enum class FrameFault : std::uint8_t {
    none,
    cutOff,        // silence inside the frame, or no CRC after its ETX
    tooLong,       // more data than the link may hand on
    badChecksum,   // the CRC does not match, or the frame is malformed
    outOfSequence, // neither the next number, a repetition nor a new sender's first
};

inline const char* frameFaultName(int fault) {
    switch (static_cast<FrameFault>(fault)) {
    case FrameFault::none:
        return "accepted";
    case FrameFault::cutOff:
        return "cut off";
    case FrameFault::tooLong:
        return "too long";
    case FrameFault::badChecksum:
        return "checksum";
    case FrameFault::outOfSequence:
        return "out of sequence";
    }
    return "unknown";
}

using TapSink = void (*)(TapEvent event, const std::uint8_t* bytes, std::uint32_t length,
                         int number);

// nullptr: no trace. Set and cleared by the trace's owner between operations; atomic only so
// that a benchmark may switch it from another thread (a relaxed load is a plain load).
extern std::atomic<TapSink> tapSink;

inline void wireTap(TapEvent event, const std::uint8_t* bytes = nullptr, std::uint32_t length = 0,
                    int number = 0) {
    if (const TapSink sink = tapSink.load(std::memory_order_relaxed))
        sink(event, bytes, length, number);
}

inline void tapState(int from, int event, int to) {
    const TapSink sink = tapSink.load(std::memory_order_relaxed);
    if (!sink) return;
    const std::array<std::uint8_t, 3> b{static_cast<std::uint8_t>(from),
                                        static_cast<std::uint8_t>(event),
                                        static_cast<std::uint8_t>(to)};
    sink(TapEvent::State, b.data(), 3, 0);
}

// The two display lines as shown (each `length` bytes, at most 64).
inline void tapDisplay(const char* line1, const char* line2, std::uint32_t length) {
    const TapSink sink = tapSink.load(std::memory_order_relaxed);
    if (!sink || length > 64) return;
    std::array<std::uint8_t, 128> b{};
    for (std::uint32_t i = 0; i < length; ++i) {
        b[i] = static_cast<std::uint8_t>(line1[i]);
        b[length + i] = static_cast<std::uint8_t>(line2[i]);
    }
    sink(TapEvent::Display, b.data(), 2 * length, 0);
}

} // namespace tarq
