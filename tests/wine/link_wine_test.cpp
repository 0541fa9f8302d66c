// The serial port and the framed link on a real COM port under Wine. COM5 is mapped to a
// pseudo-terminal whose other end is wine_peer playing the scenario of the same name; the peer
// checks what reaches the wire, this side checks what the driver returns.
#include "link/pkiss.h"
#include "link/prs232.h"
#include "wine_check.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using namespace tarq;
using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr std::uint8_t kPort = 5;
constexpr std::uint32_t kBaud = 115200;
const Bytes kEscaped{0x02, 0x10, 0x41};
const Bytes kAbc{0x61, 0x62, 0x63};

// Reads until something arrives (or `limitMs` passes); returns the bytes of that one read.
Bytes readSome(PRS232_PORT* port, std::uint32_t want, int* result, double limitMs = 5000) {
    std::array<std::uint8_t, 512> buf{};
    const auto t0 = SteadyClock::now();
    std::uint32_t n = 0;
    do {
        n = want;
        *result = PRS232_Recv(port, buf.data(), &n);
    } while (n == 0 && wcheck::msSince(t0) < limitMs);
    return Bytes(buf.begin(), buf.begin() + n);
}

void sendRaw(PRS232_PORT* port, std::uint8_t byte) {
    CHECK_EQ(PRS232_Send(port, &byte, 1), 1);
}

int send(PKISS_LINK* link, const Bytes& data) {
    return PKISS_Send(link, data.data(), static_cast<std::uint32_t>(data.size()));
}

// Collects delivered blocks until `count` have arrived or `limitMs` has passed.
std::vector<Bytes> collect(PKISS_LINK* link, std::size_t count, double limitMs) {
    std::vector<Bytes> blocks;
    std::array<std::uint8_t, 1024> buf{};
    const auto t0 = SteadyClock::now();
    while (blocks.size() < count && wcheck::msSince(t0) < limitMs) {
        const std::uint32_t n =
            PKISS_Recv(link, buf.data(), static_cast<std::uint32_t>(buf.size()));
        if (n > 0) blocks.emplace_back(buf.begin(), buf.begin() + n);
    }
    return blocks;
}

void finish(PKISS_LINK*& link) {
    sendRaw(link->port, 'E');
    PKISS_Delete(&link);
    CHECK(link == nullptr);
}

} // namespace

// No peer: names that lead nowhere. COM6 is mapped to a path that never exists, which Wine
// still lets CreateFileA open; the port must refuse it all the same.
WCASE(port_missing) {
    const std::string line = "PRS232_Create:INVALID_HANDLE_VALUE:-1\n";
    for (std::uint8_t port : {std::uint8_t{0}, std::uint8_t{6}, std::uint8_t{200}}) {
        PRS232_PORT* p = nullptr;
        const std::string out = wcheck::captured([&] { p = PRS232_Create(port, kBaud); });
        CHECK(p == nullptr);
        CHECK_PRINTED(out, line);
        PRS232_Delete(&p);
    }
    // By name: the vanished port, and a name too long for any device.
    const std::string tooLong = "COM5" + std::string(300, 'x');
    for (const char* dev : {"COM6", tooLong.c_str()}) {
        PRS232_PORT* byName = nullptr;
        CHECK_PRINTED(wcheck::captured([&] { byName = PRS232_Create(kPort, kBaud, dev); }), line);
        CHECK(byName == nullptr);
    }
    PKISS_LINK* link = nullptr;
    CHECK_PRINTED(wcheck::captured([&] { link = PKISS_Create(6, kBaud); }), line);
    CHECK(link == nullptr);
    PKISS_Delete(&link);
}

WCASE(port_timing) {
    // Explicit device names, bare and full, reach the same port; so does COM12 (mapped to the
    // same pty), which only opens by its "\\.\" name.
    for (const char* dev : {"COM5", "\\\\.\\COM5", "COM12"}) {
        PRS232_PORT* byName = PRS232_Create(0, kBaud, dev);
        CHECK(byName != nullptr);
        PRS232_Delete(&byName);
        CHECK(byName == nullptr);
    }
    PRS232_PORT* twoDigits = PRS232_Create(12, kBaud);
    CHECK(twoDigits != nullptr);
    PRS232_Delete(&twoDigits);

    PRS232_PORT* p = PRS232_Create(kPort, kBaud);
    if (!CHECK(p != nullptr)) return;
    std::array<std::uint8_t, 512> buf{};

    // A one-byte read on a silent line gives up after about 41 ms.
    std::uint32_t n = 1;
    const auto t0 = SteadyClock::now();
    CHECK_EQ(PRS232_Recv(p, buf.data(), &n), 0);
    CHECK_EQ(n, 0u);
    CHECK_BETWEEN(wcheck::msSince(t0), 25.0, 1000.0);

    n = 0;
    CHECK_EQ(PRS232_Recv(p, buf.data(), &n), 1);
    CHECK_EQ(n, 0u);

    int r = -1;
    sendRaw(p, 'R');
    Bytes got = readSome(p, 2, &r);
    CHECK_EQ(r, 0);
    CHECK(got == Bytes{'x'});

    sendRaw(p, 'S');
    Bytes block;
    const auto t1 = SteadyClock::now();
    while (block.size() < 300 && wcheck::msSince(t1) < 5000) {
        got = readSome(p, static_cast<std::uint32_t>(300 - block.size()), &r, 200);
        block.insert(block.end(), got.begin(), got.end());
    }
    CHECK_EQ(block.size(), 300u);
    bool inOrder = block.size() == 300;
    for (std::size_t i = 0; inOrder && i < block.size(); ++i)
        inOrder = block[i] == static_cast<std::uint8_t>(0x20 + i);
    CHECK(inOrder);

    // A pause after two bytes ends the read with what has come.
    sendRaw(p, 'T');
    got = readSome(p, 4, &r);
    CHECK_EQ(r, 0);
    CHECK(got == Bytes({'a', 'b'}));
    got = readSome(p, 4, &r);
    CHECK(got == Bytes({'c', 'd'}));

    sendRaw(p, 'E');
    PRS232_Delete(&p);
    CHECK(p == nullptr);
}

WCASE(link_frames) {
    PKISS_LINK* link = PKISS_Create(kPort, kBaud);
    if (!CHECK(link != nullptr)) return;
    CHECK_EQ(send(link, kEscaped), 1);
    CHECK_EQ(send(link, kAbc), 1);
    CHECK_EQ(send(link, {}), 1);

    // Keep-alive, bad CRC, repetition and a skipped number deliver nothing.
    const std::vector<Bytes> blocks = collect(link, 3, 20000);
    const std::vector<Bytes> want{{0x10, 0x10, 0x03, 0x02, 0xFF, 0x00}, {0x56}, {0x58}};
    CHECK(blocks == want);
    CHECK(collect(link, 1, 1500).empty());
    finish(link);
}

WCASE(link_nak) {
    PKISS_LINK* link = PKISS_Create(kPort, kBaud);
    if (!CHECK(link != nullptr)) return;
    CHECK_EQ(send(link, kAbc), 1); // NAK, resend, ACK
    CHECK_EQ(send(link, kAbc), 1); // wrong ACK, right ACK
    const auto t0 = SteadyClock::now();
    CHECK_EQ(send(link, kAbc), 0); // NAK three times: gives up after the fourth transmission
    CHECK_BETWEEN(wcheck::msSince(t0), 0.0, 5000.0);
    finish(link);
}

WCASE(link_silence) {
    PKISS_LINK* link = PKISS_Create(kPort, kBaud);
    if (!CHECK(link != nullptr)) return;
    const auto t0 = SteadyClock::now();
    CHECK_EQ(send(link, kAbc), 0);
    CHECK_BETWEEN(wcheck::msSince(t0), 11000.0, 26000.0);
    finish(link);
}

WCASE(link_wack) {
    PKISS_LINK* link = PKISS_Create(kPort, kBaud);
    if (!CHECK(link != nullptr)) return;
    CHECK_EQ(send(link, kAbc), 1); // WACK, then ACK
    const auto t0 = SteadyClock::now();
    CHECK_EQ(send(link, kAbc), PKISS_WACK_RESULT); // WACK, then silence
    CHECK_BETWEEN(wcheck::msSince(t0), 3000.0, 9000.0);
    CHECK_EQ(send(link, kAbc), 1);
    finish(link);
}

WCASE(link_interleave) {
    PKISS_LINK* link = PKISS_Create(kPort, kBaud);
    if (!CHECK(link != nullptr)) return;
    CHECK_EQ(send(link, kAbc), 1);
    const std::vector<Bytes> blocks = collect(link, 2, 10000);
    CHECK(blocks == (std::vector<Bytes>{{0x59}, {0x5A}}));
    finish(link);
}

WCASE(link_bad_frames) {
    PKISS_LINK* link = PKISS_Create(kPort, kBaud);
    if (!CHECK(link != nullptr)) return;
    CHECK_EQ(send(link, kAbc), 1);
    const std::vector<Bytes> blocks = collect(link, 1, 20000);
    CHECK(blocks == std::vector<Bytes>{{0x5B}});
    finish(link);
}

int main(int argc, char** argv) {
    return wcheck::run(argc, argv);
}
