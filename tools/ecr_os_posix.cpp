#include "tools/ecr_os.h"

#include "tarqdriver.h"

#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

namespace tarq::ecr {
namespace {

void (*interruptHandler)() = nullptr;

void onSignal(int) {
    if (interruptHandler) interruptHandler();
}

} // namespace

void* loadLibrary(const std::string& path, std::string& error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* e = dlerror();
        error = e ? e : "cannot load " + path;
    }
    return handle;
}

void* librarySymbol(void* library, const char* name) {
    return dlsym(library, name);
}

std::string defaultLibrary(const char* argv0) {
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : argv0;
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    for (const char* rel : {"libtarqdriver.so", "../libtarqdriver.so", "../lib/libtarqdriver.so"})
        if (access((dir + rel).c_str(), R_OK) == 0) return dir + rel;
    // Installed: the run-time library by its soname, which needs no development package.
    return "libtarqdriver.so." + std::to_string(TARQDRIVER_VERSION_MAJOR);
}

void catchInterrupt(void (*onInterrupt)()) {
    interruptHandler = onInterrupt;
    // Restarted system calls: a Ctrl-C does not break the driver's reads and writes.
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

bool pipeStdout(int& terminal, int& pipeRead) {
    int fds[2] = {-1, -1};
    if (!isatty(STDOUT_FILENO) || pipe(fds) != 0) return false;
    terminal = dup(STDOUT_FILENO);
    if (terminal < 0 || dup2(fds[1], STDOUT_FILENO) < 0) {
        if (terminal >= 0) close(terminal);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    close(fds[1]);
    pipeRead = fds[0];
    return true;
}

void unpipeStdout(int terminal) {
    dup2(terminal, STDOUT_FILENO);
    close(terminal);
}

int readSome(int fd, char* buf, unsigned size) {
    ssize_t n = 0;
    do
        n = read(fd, buf, size);
    while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

void writeAll(int fd, const char* buf, unsigned size) {
    while (size > 0) {
        const ssize_t n = write(fd, buf, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // the terminal is gone: nothing to show it on
        buf += n;
        size -= static_cast<unsigned>(n);
    }
}

bool abortKeyTyped() {
    if (!isatty(STDIN_FILENO)) return false;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char buf[64];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    for (ssize_t i = 0; i < n; ++i)
        if (buf[i] == 'a' || buf[i] == 'A') return true;
    return false;
}

} // namespace tarq::ecr
