// Link timing over a real pseudo-terminal at 115200 baud:
//  1. ACK turnaround: the terminal (this program, on the master side) writes a whole frame and
//     times until the driver's ACK is back; the driver sits in PKISS_Recv on its own thread,
//     as it does in the main loop.
//     For comparison the same exchange is timed first with a bare responder (poll, one read,
//     one two-byte write), which is the floor the pseudo-terminal itself sets on this machine.
//     It is timed again with the field trace on (a line per frame and per ACK written to a file
//     under /tmp, flushed each time), which must stay within 1.2 times the figure without.
//  2. Waiting cost: processor time the driver's thread uses while PKISS_Recv waits on a
//     silent line.
//  3. The ACK turnaround over loopback TCP (the driver's line "tcp://127.0.0.1:PORT") against a
//     bare TCP responder, each figure as a ratio to that floor; and the waiting cost once the
//     other end has closed the connection (the line is gone).
// Usage: tarq_link_bench [frames=2000] [idle-seconds=10]
#include "link/pkiss.h"
#include "link/prs232_tcp.h"
#include "link/wiretap.h"
#include "protocol/trace.h"
#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tarq;
using Steady = std::chrono::steady_clock;

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[i];
}

// A typical short terminal message (a status text).
const test::Bytes kData = {0xE1, 0x16, 0xC5, 0x14, 'G', 'o', 'd', 'k', 'j', 'e', 'n', 't',
                           ' ',  ' ',  ' ',  ' ',  ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
constexpr int kWarmup = 50;

// Terminal side: writes frames and times each ACK; the responder runs on another thread.
// Frame i's time goes to the odd list when there is one; beforeFrame(i) runs first.
bool timeAcks(int terminal, int frames, std::vector<double>& us, std::vector<double>* odd = nullptr,
              void (*beforeFrame)(int) = nullptr) {
    std::uint8_t seq = 0xFF;
    for (int i = 0; i < frames + kWarmup; ++i) {
        if (beforeFrame) beforeFrame(i);
        // Let the responder settle back into its wait, as between real terminal messages.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (!test::writeBytes(terminal, test::buildFrame(seq, kData))) return false;
        const auto t0 = Steady::now();
        const test::Bytes ack = test::readBytes(terminal, 2, 2000);
        const auto t1 = Steady::now();
        if (ack.size() != 2 || ack[0] != PKISS_ACK || ack[1] != seq) {
            std::fprintf(stderr, "frame %d: no ACK\n", i);
            return false;
        }
        if (i >= kWarmup)
            (odd && i % 2 ? *odd : us)
                .push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        seq = seq == 0xFE || seq == 0xFF ? 0x00 : static_cast<std::uint8_t>(seq + 1);
    }
    return true;
}

void report(const char* what, const std::vector<double>& us) {
    std::printf("%s: p50 %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us over %zu frames of %zu "
                "data bytes\n",
                what, percentile(us, 0.50), percentile(us, 0.90), percentile(us, 0.99),
                *std::max_element(us.begin(), us.end()), us.size(), kData.size());
}

// The floor: a responder that answers each whole frame with one write; empty on failure.
std::vector<double> bareFloor(int terminal, int responderFd, int frames) {
    std::atomic<bool> stop{false};
    std::thread responder([&] {
        std::array<std::uint8_t, 4096> buf{};
        const std::size_t frameSize = test::buildFrame(0x00, kData).size();
        std::size_t have = 0;
        std::uint8_t seq = 0xFF;
        while (!stop) {
            pollfd p{responderFd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t r = read(responderFd, buf.data(), buf.size());
            if (r <= 0) continue;
            have += static_cast<std::size_t>(r);
            if (have < frameSize) continue;
            have = 0;
            const std::uint8_t ack[2] = {PKISS_ACK, seq};
            (void)!write(responderFd, ack, 2);
            seq = seq == 0xFE || seq == 0xFF ? 0x00 : static_cast<std::uint8_t>(seq + 1);
        }
    });
    std::vector<double> us;
    const bool ok = timeAcks(terminal, frames, us);
    stop = true;
    responder.join();
    if (!ok) us.clear();
    return us;
}

void waitingCost(PKISS_LINK* link, int seconds);

TapSink traceSink = nullptr;

// Without and with the trace on alternate frames, so that the load of a shared machine falls
// on both alike.
// The figures with the trace off; empty on failure.
std::vector<double> turnaround(int terminal, PKISS_LINK* link, int frames) {
    const std::string ini = "/tmp/tarq_link_bench.ini";
    const char* tracePath = "/tmp/tarq_link_bench.trace";
    std::ofstream(ini) << "[TRACE]\n\"" << tracePath << "\"\n";
    traceOpen(ini.c_str());
    traceSink = tapSink;
    std::atomic<bool> stop{false};
    std::thread driver([&] {
        std::array<std::uint8_t, 1024> buf{};
        while (!stop)
            PKISS_Recv(link, buf.data(), static_cast<std::uint32_t>(buf.size()));
    });
    std::vector<double> off, on;
    // The driver reads the sink only after the frame that follows the switch has arrived.
    const bool ok = timeAcks(terminal, 2 * frames, off, &on,
                             [](int i) { tapSink = i % 2 ? traceSink : nullptr; });
    stop = true;
    driver.join();
    traceClose();
    std::remove(ini.c_str());
    std::remove(tracePath);
    if (!ok) return {};
    report("Driver ACK turnaround, trace off", off);
    report("Driver ACK turnaround, trace on ", on);
    std::printf("Trace on / off: p50 %.2fx, p90 %.2fx\n",
                percentile(on, 0.5) / percentile(off, 0.5),
                percentile(on, 0.9) / percentile(off, 0.9));
    return off;
}

void ratios(const char* what, const std::vector<double>& driver, const std::vector<double>& bare) {
    std::printf("%s driver / bare floor: p50 %.2fx, p99 %.2fx\n", what,
                percentile(driver, 0.5) / percentile(bare, 0.5),
                percentile(driver, 0.99) / percentile(bare, 0.99));
}

// A loopback connection on a free port: the accepted end in `accepted`, the connecting end made
// by `connectOne` (given the port). Non-blocking, without delay for small writes. 0 on success.
template <class Connect> int loopback(int& accepted, Connect&& connectOne) {
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (bind(server, reinterpret_cast<sockaddr*>(&a), size) != 0 || listen(server, 1) != 0 ||
        getsockname(server, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        return 1;
    const bool connected = connectOne(ntohs(a.sin_port));
    accepted = connected ? accept(server, nullptr, nullptr) : -1;
    close(server);
    if (accepted < 0) return 1;
    const int on = 1;
    setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(accepted, F_SETFL, fcntl(accepted, F_GETFL) | O_NONBLOCK);
    return 0;
}

int tcpFigures(int frames, int seconds) {
    int terminal = -1;
    int client = -1;
    const int rc = loopback(terminal, [&](int port) {
        client = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    });
    if (rc != 0) return 1;
    const std::vector<double> bare = bareFloor(terminal, client, frames);
    close(client);
    close(terminal);
    if (bare.empty()) return 1;
    report("Bare TCP responder (floor)", bare);
    PKISS_LINK* link = nullptr;
    if (loopback(terminal, [&](int port) {
            const std::string device = "tcp://127.0.0.1:" + std::to_string(port);
            link = PKISS_CreateOn(PRS232_Create(0, 0, device.c_str()));
            return link != nullptr;
        }) != 0)
        return 1;
    const std::vector<double> driver = turnaround(terminal, link, frames);
    if (!driver.empty()) ratios("TCP", driver, bare);
    close(terminal); // the line is gone: the driver's reads must not spin
    std::printf("TCP line gone: ");
    waitingCost(link, seconds);
    PKISS_Delete(&link);
    return driver.empty() ? 1 : 0;
}

void waitingCost(PKISS_LINK* link, int seconds) {
    std::array<std::uint8_t, 1024> buf{};
    const auto t0 = Steady::now();
    const double cpu0 = threadCpuMs();
    int calls = 0;
    while (Steady::now() - t0 < std::chrono::seconds(seconds)) {
        PKISS_Recv(link, buf.data(), static_cast<std::uint32_t>(buf.size()));
        ++calls;
    }
    const double cpu = threadCpuMs() - cpu0;
    const double wall = std::chrono::duration<double, std::milli>(Steady::now() - t0).count();
    std::printf("Silent line: %d PKISS_Recv calls in %.0f ms used %.2f ms of processor time "
                "(%.4f%% of one core)\n",
                calls, wall, cpu, 100.0 * cpu / wall);
}

} // namespace

int main(int argc, char** argv) {
    const int frames = std::max(argc > 1 ? std::atoi(argv[1]) : 2000, 1);
    const int seconds = std::max(argc > 2 ? std::atoi(argv[2]) : 10, 1);
    std::vector<double> bare;
    {
        test::PtyPair floorPty;
        bare = bareFloor(floorPty.master(), floorPty.slave(), frames);
    }
    if (bare.empty()) return 1;
    report("Bare pty responder (floor)", bare);
    test::PtyPair pty;
    PKISS_LINK* link = PKISS_Create(0, 115200, pty.slaveName().c_str());
    if (link == nullptr) return 1;
    const std::vector<double> driver = turnaround(pty.master(), link, frames);
    if (!driver.empty()) {
        ratios("Pty", driver, bare);
        waitingCost(link, seconds);
    }
    PKISS_Delete(&link);
    return driver.empty() ? 1 : tcpFigures(frames, seconds);
}
