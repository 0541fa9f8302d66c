#include "core/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace tarq {
namespace {

bool toStdout = true;
ConsoleSink sink = nullptr;

// Formats for the sink (only while one is registered: the trace is on).
void toSink(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    try {
        if (n > 0) {
            std::string text(static_cast<std::size_t>(n) + 1, '\0');
            std::vsnprintf(text.data(), text.size(), format, again);
            text.pop_back();
            sink(text);
        }
    } catch (...) {
        // No memory for the copy: the trace loses the line, the call goes on.
    }
    va_end(again);
}

} // namespace

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (toStdout) {
        va_list out;
        va_copy(out, args);
        std::vfprintf(stdout, format, out);
        va_end(out);
        std::fflush(stdout);
    }
    if (sink != nullptr) toSink(format, args);
    va_end(args);
}

void setConsoleStdout(bool on) {
    toStdout = on;
}

bool consoleStdout() {
    return toStdout;
}

void setConsoleSink(ConsoleSink s) {
    sink = s;
}

} // namespace tarq
