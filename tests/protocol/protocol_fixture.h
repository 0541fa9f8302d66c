// Shared set-up for the protocol tests: fresh context, settable clock, no event left over.
#pragma once

#include "core/context.h"
#include "protocol/answer.h"
#include "protocol/ber.h"
#include "protocol/parser.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/clock.h"
#include "tests/support/terminal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarq::test {

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
        SA_EVENT* event = nullptr;
        printed = captureStdout([&] { event = parserHandleTlv(tree); });
        return event ? event->event_id : -1;
    }

    ManualClock clock_;
    ScopedClock scoped_{clock_};
    std::string printed;
};

} // namespace tarq::test
