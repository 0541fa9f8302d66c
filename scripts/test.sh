#!/usr/bin/env bash
# Builds the driver and runs the whole test suite.
#   BUILD_DIR  build directory (default: build)
#   TARQ_CMAKE_ARGS  extra CMake arguments (e.g. -DTARQ_SANITIZE=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if [ "$(id -u)" = 0 ]; then bash scripts/deps.sh; fi
cmake -S . -B "$build" ${TARQ_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" ${TARQ_CTEST_ARGS:-}
