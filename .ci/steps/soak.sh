#!/usr/bin/env bash
# Soak: 150 payments and commands through the loaded library against the simulated terminal,
# with random link faults in 2 % of the frames; fails on any result, receipt, double-request,
# time bound or memory mismatch.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j2 --target tarq_soak
"$build/bench/tarq_soak" --ops 150 --seed "${TARQ_SOAK_SEED:-1}" --fault-rate 0.02 --fast
