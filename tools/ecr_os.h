// What the ECR command line needs from the operating system: loading the driver library,
// catching Ctrl-C, and reading a key without waiting. One file per platform.
#pragma once

#include <string>

namespace tarq::ecr {

// Loads the library for the life of the process; nullptr (and `error` set) when it fails.
void* loadLibrary(const std::string& path, std::string& error);
void* librarySymbol(void* library, const char* name);
// The driver library beside this program (or in ../ or ../lib), else its bare name.
std::string defaultLibrary(const char* argv0);
// Ctrl-C calls onInterrupt instead of ending the program; it may run in a signal handler or on
// a thread of its own, so it only sets lock-free atomics.
void catchInterrupt(void (*onInterrupt)());
// True when the key `a` was typed on an interactive console; never waits.
bool abortKeyTyped();

} // namespace tarq::ecr
