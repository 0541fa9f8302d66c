// The field trace: a file of time-stamped lines naming every frame both ways (hex and
// decoded), the link's answers and time-outs, each exported call with its arguments and
// result, the automaton's state changes and the display lines. Switched on by the TRACE entry
// of tarqRS.ini; off, it costs one test per event and formats nothing. Card data is never
// written in clear. A trace that cannot be written is dropped; it never fails the caller.
#pragma once

#include <cstddef>
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

// One argument of an exported call. A text is read only as far as the driver reads it: to its
// terminator, and never beyond `width` bytes (the field it fills; texts may fill it without a
// terminator); a text the driver never reads is not read either. Card numbers in any text are
// masked; Pan keeps the first six and last four digits, Secret keeps nothing but its length.
struct TraceArg {
    enum class Kind : std::uint8_t { Int, Char, Text, Pan, Secret, Unread } kind;
    long number = 0;
    const char* text = nullptr;
    std::size_t width = 0;
    TraceArg(int n) : kind(Kind::Int), number(n) {}
    TraceArg(unsigned short n) : kind(Kind::Int), number(n) {}
    TraceArg(char c) : kind(Kind::Char), number(static_cast<unsigned char>(c)) {}
    TraceArg(void* p) : kind(Kind::Text), text(p ? "routine" : nullptr), width(7) {}
    static TraceArg field(const char* t, std::size_t w) { return {Kind::Text, t, w}; }
    static TraceArg pan(const char* t, std::size_t w) { return {Kind::Pan, t, w}; }
    static TraceArg secret(const char* t, std::size_t w) { return {Kind::Secret, t, w}; }
    static TraceArg unread() { return {Kind::Unread, "", 0}; }

  private:
    TraceArg(Kind k, const char* t, std::size_t w) : kind(k), text(t), width(w) {}
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
    // For the open that starts the trace: its call line, unless one was written already.
    void traceStarted(std::initializer_list<TraceArg> args);

  private:
    const char* name_;
    bool returns_;
    bool written_ = false;
};

} // namespace tarq
