// A link on the slave side of a real pseudo-terminal, with the test as the terminal on the
// master side; optionally under a stepping clock so that the link's timers run out fast.
#pragma once

#include "link/pkiss_internal.h"
#include "tests/support/clock.h"
#include "tests/support/pty_pair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace tarq::test {

using Kind = PeerMessage::Kind;
using Steady = std::chrono::steady_clock;

inline double msSince(Steady::time_point t0) {
    return std::chrono::duration<double, std::milli>(Steady::now() - t0).count();
}

// A scripted terminal on its own thread, joined at the end of its scope.
class Peer {
  public:
    explicit Peer(std::function<void()> script) : thread_(std::move(script)) {}
    ~Peer() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::thread thread_;
};

class LinkOverPty : public ::testing::Test {
  protected:
    // stepMs > 0: the link's clock moves on by stepMs at every reading.
    explicit LinkOverPty(std::int64_t stepMs = 0) {
        if (stepMs > 0) {
            clock_ = std::make_unique<ManualClock>(7'000'000'000, stepMs);
            scope_ = std::make_unique<ScopedClock>(*clock_);
        }
    }
    void SetUp() override {
        link_ = PKISS_Create(0, 115200, pty_.slaveName().c_str());
        ASSERT_NE(link_, nullptr);
    }
    void TearDown() override { PKISS_Delete(&link_); }

    int master() const { return pty_.master(); }
    void toLink(const Bytes& bytes) { ASSERT_TRUE(writeBytes(master(), bytes)); }
    PeerMessage fromLink(int timeoutMs = 2000) { return readMessage(master(), timeoutMs); }
    // One PKISS_Recv into a fresh buffer of `size` bytes; returns what it delivered.
    Bytes recv(std::uint32_t size = 1024) {
        Bytes buf(size);
        const auto n = PKISS_Recv(link_, buf.data(), size);
        EXPECT_LE(n, size);
        buf.resize(std::min(n, size));
        return buf;
    }
    int send(const Bytes& data) {
        return PKISS_Send(link_, data.data(), static_cast<std::uint32_t>(data.size()));
    }

    std::unique_ptr<ManualClock> clock_;
    std::unique_ptr<ScopedClock> scope_;
    PtyPair pty_;
    PKISS_LINK* link_ = nullptr;
};

// Timers run out after a few real reads (each reading of the clock is 250 ms of link time).
class FastLinkOverPty : public LinkOverPty {
  protected:
    FastLinkOverPty() : LinkOverPty(250) {}
};

} // namespace tarq::test
