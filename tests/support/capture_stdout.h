// What a call printed on standard output (the driver's trace and results).
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tarq::test {

// The capture is released even when the call throws.
template <class F> std::string captureStdout(F&& call) {
    ::testing::internal::CaptureStdout();
    try {
        call();
    } catch (...) {
        ::testing::internal::GetCapturedStdout();
        throw;
    }
    return ::testing::internal::GetCapturedStdout();
}

} // namespace tarq::test
