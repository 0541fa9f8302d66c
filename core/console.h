// The driver's console lines: every line the driver prints goes through say(). They go to
// standard output unless the configuration turns that off, and to a sink that a layer above may
// register (the field trace), so that a till that wants a quiet library loses nothing.
#pragma once

#include <string_view>

namespace tarq {

// Gets the formatted text of each say(), whole (it may hold several lines, or part of one).
using ConsoleSink = void (*)(std::string_view text);

// printf to standard output, flushed so the lines keep their order with the callbacks' output;
// also handed to the sink when one is registered.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...);
// Standard output on (the default) or off; the sink is not affected.
void setConsoleStdout(bool on);
bool consoleStdout();
// nullptr unregisters.
void setConsoleSink(ConsoleSink sink);

} // namespace tarq
