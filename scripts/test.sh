#!/usr/bin/env bash
# Builds the driver and runs the whole test suite.
#   BUILD_DIR  build directory (default: build)
#   TARQ_CMAKE_ARGS  extra CMake arguments (e.g. -DTARQ_SANITIZE=ON)
#   TARQ_CTEST_JOBS  tests run at a time (default: one more than the cores, since most tests
#                    wait on the line or on the driver's pauses rather than use a core)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if [ "$(id -u)" = 0 ]; then bash scripts/deps.sh; fi
cmake -S . -B "$build" ${TARQ_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"${TARQ_CTEST_JOBS:-$(( $(nproc) + 1 ))}" \
    ${TARQ_CTEST_ARGS:-}
