// Shared set-up for the protocol tests: fresh context, settable clock, no event left over.
#pragma once

#include "core/context.h"
#include "protocol/ber.h"
#include "protocol/parser.h"
#include "tests/support/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarq::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
inline std::string line(const StatusLine& l) {
    return std::string(l.data(), l.size());
}

// Tag, length in the shortest form, value.
inline Bytes tlv(std::uint8_t tag, const Bytes& value) {
    const auto n = value.size();
    Bytes out{tag};
    if (n >= 0x80) out.push_back(n > 0xFF ? 0x82 : 0x81);
    if (n > 0xFF) out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}
// An envelope holding one element with the given tag and value.
inline Bytes message(std::uint8_t tag, const Bytes& value) {
    return tlv(0xE1, tlv(tag, value));
}

class ProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDriverContext();
        parserFreeEvent();
    }
    void TearDown() override {
        parserFreeEvent();
        resetDriverContext();
    }

    // Decodes and interprets one whole message as the transport does; returns the event id, or
    // -1 when no event came out. What was printed goes to `printed`.
    int feed(const Bytes& message) {
        const int size = BER_check(message.data(), static_cast<std::uint32_t>(message.size()));
        EXPECT_GT(size, 0) << "test message is malformed";
        if (size <= 0) return -1;
        ctx.receivedLength = size;
        TLV* tree = BER2TLV(message.data(), static_cast<std::uint32_t>(size));
        EXPECT_NE(tree, nullptr);
        ::testing::internal::CaptureStdout();
        SA_EVENT* event = parserHandleTlv(tree);
        printed = ::testing::internal::GetCapturedStdout();
        return event ? event->event_id : -1;
    }

    ManualClock clock_;
    ScopedClock scoped_{clock_};
    std::string printed;
};

} // namespace tarq::test
