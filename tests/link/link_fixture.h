// A link on the slave side of a real pseudo-terminal; the test is the terminal on the master side.
#pragma once

#include "link/pkiss_internal.h"
#include "tests/support/clock.h"
#include "tests/support/pty_pair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace tarq::test {

using Kind = PeerMessage::Kind;
using Steady = std::chrono::steady_clock;

inline double msSince(Steady::time_point t0) {
    return std::chrono::duration<double, std::milli>(Steady::now() - t0).count();
}
inline auto rowName = [](const auto& row) { return std::string(row.param.name); };

class LinkOverPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(link_ = PKISS_Create(0, 115200, pty_.slaveName().c_str()), nullptr);
    }
    void TearDown() override { PKISS_Delete(&link_); }

    int master() const { return pty_.master(); }
    void toLink(const Bytes& bytes) { ASSERT_TRUE(writeBytes(master(), bytes)); }
    PeerMessage fromLink(int timeoutMs = 2000) { return readMessage(master(), timeoutMs); }
    Bytes recv(std::uint32_t size = 1024) {
        Bytes buf(size);
        buf.resize(PKISS_Recv(link_, buf.data(), size));
        return buf;
    }
    int send(const Bytes& data) {
        return PKISS_Send(link_, data.data(), static_cast<std::uint32_t>(data.size()));
    }

    PtyPair pty_;
    PKISS_LINK* link_ = nullptr;
};

} // namespace tarq::test
