// The tools' --version line: the project version, and the commit when built from a checkout.
#pragma once

#include "tarqdriver.h"

#include <cstdio>

#ifndef TARQ_GIT_COMMIT
#define TARQ_GIT_COMMIT ""
#endif

namespace tarq::tools {

inline void printVersion(const char* program) {
    const char* commit = TARQ_GIT_COMMIT;
    if (*commit)
        std::printf("%s %s (commit %s)\n", program, TARQDRIVER_VERSION_STRING, commit);
    else
        std::printf("%s %s\n", program, TARQDRIVER_VERSION_STRING);
}

} // namespace tarq::tools
