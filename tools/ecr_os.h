// What the ECR command line needs from the operating system: loading the driver library,
// catching Ctrl-C, reading a key without waiting, and passing standard output through a relay.
// One file per platform.
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
// When standard output is an interactive terminal, puts a pipe in its place so that everything
// printed, the driver's lines too, can pass one relay: sets `terminal` (the terminal, kept) and
// `pipeRead` and returns true. False, changing nothing, for a file or a pipe.
bool pipeStdout(int& terminal, int& pipeRead);
// Puts the terminal back as standard output; the pipe's reader then sees its end.
void unpipeStdout(int terminal);
// Reads what is there, waiting for at least one byte; 0 or less at the end.
int readSome(int fd, char* buf, unsigned size);
void writeAll(int fd, const char* buf, unsigned size);

} // namespace tarq::ecr
