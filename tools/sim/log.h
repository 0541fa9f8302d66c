// The simulator's readable log: one line per frame or control byte, with time stamp, hex and
// the decoded message.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarq::sim {

// printf into a std::string (at most 511 characters), for log lines and terminal texts.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

class Log {
  public:
    explicit Log(std::FILE* out) : out_(out), start_(std::chrono::steady_clock::now()) {}
    void line(const char* direction, const std::string& text);
    // The frame in hex; with decode, its message on the next line. Card data is shown in
    // clear: this is the terminal's own log.
    void frame(const char* direction, const std::vector<std::uint8_t>& bytes, bool decode);
    void note(const std::string& text) { line("--", text); }

  private:
    std::FILE* out_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace tarq::sim
