// Replay of a field trace: the terminal's side of a recorded exchange, played against a
// driver. The terminal's frames go out in their order (with the recorded pacing unless
// `fast`); each frame the driver sends must match the recorded one, where the trace's masked
// bytes ("**", card data) match anything and sequence numbers are not compared.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

namespace tarq {
struct PRS232_PORT;
}

namespace tarq::sim {

// 0 every recorded frame of the driver came and matched; 1 the first difference (both frames
// printed on `out`, decoded, with the offset of the first differing byte) or a frame that did
// not come; 2 the trace could not be read. Takes ownership of the port.
int replayTrace(PRS232_PORT* port, const std::string& tracePath, bool fast, std::FILE* out,
                const std::atomic<bool>& stop);

} // namespace tarq::sim
