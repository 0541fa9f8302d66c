// The line's bytes through an in-memory port into the receiver, in pieces over PKISS_Recv calls,
// some taking nothing. A control byte per piece: bits 0-1 the buffer, bits 2-7 times 8 its length.
#include "link/pkiss.h"
#include "link/prs232.h"
#include "tests/support/clock.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// The port in place of a device: input fed in pieces, reads never wait, writes go nowhere.
namespace tarq {
struct PRS232_PORT {
    std::vector<std::uint8_t> input;
    std::size_t readPos = 0;
};
PRS232_PORT* PRS232_Create(std::uint8_t, std::uint32_t, const char*) {
    return new PRS232_PORT;
}
void PRS232_Delete(PRS232_PORT** port) {
    delete *port;
    *port = nullptr;
}
int PRS232_Send(PRS232_PORT*, const std::uint8_t*, std::uint32_t) {
    return 1;
}
int PRS232_WaitInput(PRS232_PORT* port, std::uint32_t) {
    return port->readPos < port->input.size() ? 1 : 0;
}
int PRS232_Recv(PRS232_PORT* port, std::uint8_t* buf, std::uint32_t* n) {
    const auto take = std::min<std::size_t>(*n, port->input.size() - port->readPos);
    std::copy_n(port->input.begin() + static_cast<std::ptrdiff_t>(port->readPos), take, buf);
    port->readPos += take;
    const bool all = take == *n;
    *n = static_cast<std::uint32_t>(take);
    return all ? 1 : 0;
}
} // namespace tarq

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every reading of the clock is 50 ms on: a silent line ends each wait after a few reads.
    static tarq::test::ManualClock clock(5'000'000'000, 50);
    tarq::setClock(&clock);
    return std::freopen("/dev/null", "w", stdout) ? 0 : 1; // the link's progress lines
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarq;
    PKISS_LINK* link = PKISS_CreateOn(PRS232_Create(0, 0, nullptr));
    static std::array<std::uint8_t, 2048> buf;
    for (std::size_t at = 0, calls = 0; at < size && calls < 64; ++calls) {
        const std::uint8_t control = data[at++];
        const std::size_t piece = std::min<std::size_t>(size - at, (control >> 2) * 8u);
        link->port->input.insert(link->port->input.end(), data + at, data + at + piece);
        at += piece;
        const std::uint32_t want = std::array<std::uint32_t, 4>{0, 16, 1024, 2048}[control & 3];
        const std::uint32_t got = PKISS_Recv(link, want ? buf.data() : nullptr, want);
        if (got > want || got > PKISS_MAX_DATA) __builtin_trap();
    }
    PKISS_Recv(link, buf.data(), static_cast<std::uint32_t>(buf.size())); // whatever still waits
    PKISS_Delete(&link);
    return 0;
}
