// A small check harness for the Windows test programs (no test framework is available for the
// cross compiler). Each program registers named cases; the first argument picks one case, no
// argument runs them all. Exit status 0 only when every check held.
#pragma once

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace wcheck {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case> cases; // constant-initialized, so filled safely by Register
inline int failures = 0;

struct Register {
    Register(const char* name, std::function<void()> body) {
        cases.push_back({name, std::move(body)});
    }
};

inline bool report(bool ok, const char* file, int line, const std::string& what) {
    if (!ok) {
        ++failures;
        std::printf("%s:%d: check failed: %s\n", file, line, what.c_str());
        std::fflush(stdout);
    }
    return ok;
}

// Each operand is evaluated once: checks often wrap the call under test.
template <class A, class B>
bool checkEq(const A& a, const B& b, const char* file, int line, const char* what) {
    return report(a == b, file, line,
                  std::string(what) + "  (" + std::to_string(a) + " vs " + std::to_string(b) + ")");
}
template <class V, class L, class H>
bool checkBetween(const V& v, const L& lo, const H& hi, const char* file, int line,
                  const char* what) {
    return report(v >= lo && v <= hi, file, line,
                  std::string(what) + " = " + std::to_string(v) + ", wanted " + std::to_string(lo) +
                      " .. " + std::to_string(hi));
}

inline double msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

// Runs body with standard output (the process's C run-time, which the DLL shares) going to a
// file, and returns what was printed, byte for byte.
template <class Body> std::string captured(Body&& body) {
    const char* file = "captured-stdout.txt";
    std::fflush(stdout);
    const int saved = _dup(1);
    const int fd = _open(file, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(fd, 1);
    _close(fd);
    body();
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool sameText(const std::string& got, const std::string& want, const char* what) {
    if (got == want) return true;
    std::printf("  %s printed:\n---\n%s---\n  wanted:\n---\n%s---\n", what, got.c_str(),
                want.c_str());
    return false;
}

inline int run(int argc, char** argv) {
    int ran = 0;
    for (const Case& c : cases) {
        if (argc > 1 && argv[1] != std::string(c.name)) continue;
        ++ran;
        const int before = failures;
        const auto t0 = std::chrono::steady_clock::now();
        c.body();
        std::printf("[%s] %s (%.0f ms)\n", failures == before ? "  OK  " : " FAIL ", c.name,
                    msSince(t0));
        std::fflush(stdout);
    }
    if (ran == 0) {
        std::printf("no case named %s\n", argc > 1 ? argv[1] : "(any)");
        return 2;
    }
    return failures == 0 ? 0 : 1;
}

} // namespace wcheck

#define WCHECK_CAT2(a, b) a##b
#define WCHECK_CAT(a, b) WCHECK_CAT2(a, b)
#define WCASE(name)                                                                                \
    static void WCHECK_CAT(wcase_, name)();                                                        \
    static const wcheck::Register WCHECK_CAT(wreg_, name){#name, WCHECK_CAT(wcase_, name)};        \
    static void WCHECK_CAT(wcase_, name)()

#define CHECK(cond) wcheck::report(static_cast<bool>(cond), __FILE__, __LINE__, #cond)
#define CHECK_EQ(a, b) wcheck::checkEq((a), (b), __FILE__, __LINE__, #a " == " #b)
#define CHECK_BETWEEN(v, lo, hi) wcheck::checkBetween((v), (lo), (hi), __FILE__, __LINE__, #v)
#define CHECK_PRINTED(got, want) CHECK(wcheck::sameText((got), (want), #got))
