#!/usr/bin/env bash
# Fuzzes the terminal message path (size check, decoder, interpreter, answers) for a bounded
# time under AddressSanitizer + UndefinedBehaviorSanitizer. Skipped when clang is not there.
#   TARQ_FUZZ_SECONDS  run time (default 60)
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz: clang++ not found, skipped"
    exit 0
fi
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DTARQ_FUZZ=ON -DTARQ_SANITIZE=ON \
    -DTARQ_BUILD_BENCH=OFF -DTARQ_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j2 --target tarq_fuzz_message
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# New inputs go to the scratch directory; the committed seeds stay as they are.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/tests/fuzz/tarq_fuzz_message" -max_total_time="${TARQ_FUZZ_SECONDS:-60}" \
    -max_len=1024 -timeout=10 -print_final_stats=1 "$work" tests/fuzz/corpus
