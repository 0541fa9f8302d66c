// The field trace: a file of time-stamped lines naming every frame both ways (hex and
// decoded), the link's answers and time-outs, each exported call with its arguments and
// result, the automaton's state changes and the display lines. Switched on by the TRACE entry
// of tarqRS.ini; off, it costs one test per event and formats nothing. Card data is never
// written in clear. A trace that cannot be written is dropped; it never fails the caller.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace tarq {

inline constexpr long TRACE_MAX_KB_DEFAULT = 10240;

// Reads TRACE (a file name; relative to the configuration file's directory) and TRACEMAX
// (KB, beyond which the file becomes <name>.1 and a new one starts) from the configuration
// file and starts the trace anew; without a TRACE entry the trace is off.
void traceOpen(const char* iniPath);
void traceClose();
bool traceActive();

// A card number as the trace may show it: at most its first six and last four digits.
std::string maskCardNumber(const char* text);

// One argument of an exported call. Card texts are masked: Pan keeps the first six and last
// four digits, Secret keeps nothing but its length.
struct TraceArg {
    enum class Kind : std::uint8_t { Int, Char, Text, Pan, Secret } kind;
    long number = 0;
    const char* text = nullptr;
    TraceArg(int n) : kind(Kind::Int), number(n) {}
    TraceArg(unsigned short n) : kind(Kind::Int), number(n) {}
    TraceArg(char c) : kind(Kind::Char), number(static_cast<unsigned char>(c)) {}
    TraceArg(const char* t) : kind(Kind::Text), text(t) {}
    TraceArg(void* p) : kind(Kind::Text), text(p ? "routine" : nullptr) {}
    static TraceArg pan(const char* t) { return TraceArg(Kind::Pan, t); }
    static TraceArg secret(const char* t) { return TraceArg(Kind::Secret, t); }

  private:
    TraceArg(Kind k, const char* t) : kind(k), text(t) {}
};

// The result of the exported call now ending; set on every exit of an exported operation.
void noteCallResult(int result);

// One exported call: a line when it starts and one with its result when it ends.
class TraceCall {
  public:
    // `returns`: false for the one exported operation that returns nothing.
    TraceCall(const char* name, std::initializer_list<TraceArg> args = {}, bool returns = true);
    ~TraceCall();
    TraceCall(const TraceCall&) = delete;
    TraceCall& operator=(const TraceCall&) = delete;

  private:
    const char* name_;
    bool returns_;
};

} // namespace tarq
