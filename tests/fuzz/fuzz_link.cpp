// The line's bytes through an in-memory port into the link's receiver, in pieces across several
// PKISS_Recv calls, some taking nothing (so data waits and later frames are held back). A control
// byte starts each piece: bits 0-1 pick the caller's buffer, bits 2-7 times 8 its length.
#include "link/pkiss.h"
#include "link/prs232_memory.h"
#include "tests/support/clock.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every reading of the clock is 50 ms on: a silent line ends each wait after a few reads.
    static tarq::test::ManualClock clock(5'000'000'000, 50);
    tarq::setClock(&clock);
    return std::freopen("/dev/null", "w", stdout) ? 0 : 1; // the link's progress lines
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarq;
    PKISS_LINK* link = PKISS_CreateOn(PRS232_CreateInMemory());
    static std::array<std::uint8_t, 2048> buf;
    for (std::size_t at = 0, calls = 0; at < size && calls < 64; ++calls) {
        const std::uint8_t control = data[at++];
        const std::size_t piece = std::min<std::size_t>(size - at, (control >> 2) * 8u);
        PRS232_Feed(link->port, data + at, static_cast<std::uint32_t>(piece));
        at += piece;
        const std::uint32_t want = std::array<std::uint32_t, 4>{0, 16, 1024, 2048}[control & 3];
        const std::uint32_t got = PKISS_Recv(link, want ? buf.data() : nullptr, want);
        if (got > want || got > PKISS_MAX_DATA) __builtin_trap();
    }
    PKISS_Recv(link, buf.data(), static_cast<std::uint32_t>(buf.size())); // whatever still waits
    PKISS_Delete(&link);
    return 0;
}
