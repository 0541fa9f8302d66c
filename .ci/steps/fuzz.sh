#!/usr/bin/env bash
# Fuzzes what comes from outside for a bounded time each, under AddressSanitizer +
# UndefinedBehaviorSanitizer: terminal messages (size check, decoder, interpreter, answers), the
# line's bytes into the link receiver, the configuration file, and the terminal's texts on their
# way to Java. Skipped when clang is not there.
#   TARQ_FUZZ_SECONDS  run time of each target (default 20)
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz: clang++ not found, skipped"
    exit 0
fi
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DTARQ_FUZZ=ON -DTARQ_SANITIZE=ON \
    -DTARQ_BUILD_BENCH=OFF -DTARQ_BUILD_TOOLS=OFF >/dev/null
targets=(message:corpus:1024 link:corpus-link:4096 config:corpus-config:4096
    charset:corpus-charset:1024)
cmake --build "$build" -j2 --target tarq_fuzz_message tarq_fuzz_link tarq_fuzz_config \
    tarq_fuzz_charset
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in "${targets[@]}"; do
    IFS=: read -r name corpus maxlen <<<"$t"
    # New inputs go to the scratch directory; the committed seeds stay as they are.
    mkdir -p "$work/$name"
    echo "fuzz: $name"
    "$build/tests/fuzz/tarq_fuzz_$name" -max_total_time="${TARQ_FUZZ_SECONDS:-20}" \
        -max_len="$maxlen" -timeout=10 -print_final_stats=1 "$work/$name" "tests/fuzz/$corpus"
done
