// The read loop of a port whose read call returns what has arrived within the line's time-outs
// (the Windows backend; the POSIX one waits with poll instead).
#pragma once

#include <cstdint>

namespace tarq {

// How a read call ended. Line: a framing, parity or overrun error or a break, which the backend
// has already cleared; the bytes of that moment are lost, and the link's checksum and
// retransmission make up for them. Gone: the device no longer answers.
enum class ReadFault { None, Line, Gone };
struct ReadStep {
    std::uint32_t got = 0;
    ReadFault fault = ReadFault::None;
};

// Reads into buf until `want` bytes have come, a call brings nothing, or a call fails. A line
// error ends only this read; the next one reads on. Only a device that is gone sets `broken`,
// and a broken port reads nothing from then on. Returns the bytes read and how the last call
// ended (None when no call was made).
template <class ReadCall>
ReadStep readUntilSilent(ReadCall&& call, std::uint8_t* buf, std::uint32_t want, bool& broken) {
    ReadStep total;
    while (!broken && total.got < want) {
        const ReadStep step = call(buf + total.got, want - total.got);
        total.got += step.got;
        total.fault = step.fault;
        if (step.fault == ReadFault::Gone) broken = true;
        if (step.fault != ReadFault::None || step.got == 0) break;
    }
    return total;
}

} // namespace tarq
