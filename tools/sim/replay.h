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

// 0 every recorded frame of the driver came and matched, and no more came; 1 the first
// difference (both frames printed on `out`, decoded, with the offset of the first differing
// byte), a frame that did not come, or one beyond the recording (shown); 2 the trace could not
// be read, holds no frames, has a malformed frame line (its number shown) or not the session.
// `session` N replays from the Nth open of the line to the next; 0 from the start of the trace
// to its second open, telling how many sessions it holds. Takes ownership of the port.
int replayTrace(PRS232_PORT* port, const std::string& tracePath, bool fast, std::FILE* out,
                const std::atomic<bool>& stop, int session = 0);

} // namespace tarq::sim
