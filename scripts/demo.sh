#!/usr/bin/env bash
# Runs one purchase against the terminal simulator on a pseudo-terminal: builds what is needed,
# starts the simulator, points tarqRS.ini beside a copy of the library at its pseudo-terminal,
# and lets the ECR command line take the payment, showing the display lines, the receipts and
# the result.
#   BUILD_DIR  build directory (default: build)
#   AMOUNT     amount to pay (default: 12.50)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
amount=${AMOUNT:-12.50}
if [ "$(id -u)" = 0 ]; then bash scripts/deps.sh; fi

echo "== building the driver, the simulator and the ECR command line in $build"
mkdir -p "$build"
buildlog="$build/demo-build.log"
# shellcheck disable=SC2086
if ! { cmake -S . -B "$build" ${TARQ_CMAKE_ARGS:-} &&
       cmake --build "$build" -j"$(nproc)" --target tarqdriver tarqsim tarqecr; } >"$buildlog" 2>&1; then
    cat "$buildlog" >&2
    echo "demo: the build failed (log above, also in $buildlog)" >&2
    exit 1
fi

work="$build/demo"
rm -rf "$work"
mkdir -p "$work"
# The driver reads tarqRS.ini from its own directory, so the demo runs a copy of it.
cp "$build/libtarqdriver.so" "$work/"

sim_pid=
cleanup() { if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT

"$build/tools/tarqsim" --exit-on-close --log "$work/terminal.log" >"$work/simulator.out" 2>&1 &
sim_pid=$!
pty=
for _ in $(seq 100); do
    pty=$(sed -n 's/^tarqsim: terminal on //p' "$work/simulator.out")
    [ -n "$pty" ] && break
    sleep 0.1
done
if [ -z "$pty" ]; then
    echo "the simulator did not start:" >&2
    cat "$work/simulator.out" >&2
    exit 1
fi
printf '[DEVICE]\n"%s"\n[BAUDRATE]\n"9600"\n' "$pty" >"$work/tarqRS.ini"
echo "== terminal simulator on $pty; purchase of $amount"

"$build/tools/tarqecr" --lib "$work/libtarqdriver.so" purchase "$amount"

wait "$sim_pid" || true
sim_pid=
echo "== frame log of the terminal: $work/terminal.log"
