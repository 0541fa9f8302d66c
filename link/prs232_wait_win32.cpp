// Windows: no separate wait for input yet. Saying "input may be waiting" makes the link fall
// back to its plain one-byte reads with their 40 ms time-out, which is correct, only with
// more wake-ups while the line is silent.
#include "link/prs232.h"

namespace tarq {

int PRS232_WaitInput(PRS232_PORT* /*port*/, std::uint32_t /*ms*/) {
    return 1;
}

} // namespace tarq
