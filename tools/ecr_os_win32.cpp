#include "tools/ecr_os.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace tarq::ecr {
namespace {

void (*interruptHandler)() = nullptr;

// Runs on a thread of its own that the console starts; TRUE keeps the program running (the
// program ends itself).
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (interruptHandler) interruptHandler();
    return TRUE;
}

} // namespace

void* loadLibrary(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(module);
}

void* librarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string defaultLibrary(const char* argv0) {
    char self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string dir = n > 0 && n < MAX_PATH ? std::string(self, n) : argv0;
    dir = dir.substr(0, dir.find_last_of("\\/") + 1);
    for (const char* rel : {"Tarqdriver_win32dll.dll", "..\\Tarqdriver_win32dll.dll"})
        if (GetFileAttributesA((dir + rel).c_str()) != INVALID_FILE_ATTRIBUTES) return dir + rel;
    return "Tarqdriver_win32dll.dll";
}

void catchInterrupt(void (*onInterrupt)()) {
    interruptHandler = onInterrupt;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool pipeStdout(int& terminal, int& pipeRead) {
    int fds[2] = {-1, -1};
    const int out = _fileno(stdout);
    if (!_isatty(out) || _pipe(fds, 4096, _O_BINARY) != 0) return false;
    terminal = _dup(out);
    if (terminal < 0 || _dup2(fds[1], out) != 0) {
        if (terminal >= 0) _close(terminal);
        _close(fds[0]);
        _close(fds[1]);
        return false;
    }
    _close(fds[1]);
    pipeRead = fds[0];
    return true;
}

void unpipeStdout(int terminal) {
    _dup2(terminal, _fileno(stdout));
    _close(terminal);
}

int readSome(int fd, char* buf, unsigned size) {
    return _read(fd, buf, size);
}

void writeAll(int fd, const char* buf, unsigned size) {
    while (size > 0) {
        const int n = _write(fd, buf, size);
        if (n <= 0) return; // the console is gone: nothing to show it on
        buf += n;
        size -= static_cast<unsigned>(n);
    }
}

bool abortKeyTyped() {
    if (!_isatty(_fileno(stdin))) return false;
    bool typed = false;
    while (_kbhit()) {
        const int c = _getch();
        typed = typed || c == 'a' || c == 'A';
    }
    return typed;
}

} // namespace tarq::ecr
