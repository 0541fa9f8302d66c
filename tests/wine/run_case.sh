#!/usr/bin/env bash
# One Windows case under Wine, the native simulator on COM5's pty (TARQ_SIM_TCP: loopback TCP),
# its frame log beside the link.   run_case.sh SIMULATOR LINK COMMAND...
sim=$1 link=$2
shift 2
rm -f "$link" "$link.sim"
if [ "${TARQ_SIM_TCP:-}" ]; then # on a free loopback port; the case finds it in TARQ_TCP_DEVICE
    timeout 300 "$sim" --tcp 127.0.0.1:0 --log "$link.log" >"$link.sim" 2>&1 &
    for _ in $(seq 100); do grep -q 'terminal on' "$link.sim" && break || sleep 0.1; done
    export TARQ_TCP_DEVICE=$(sed -n 's/.*terminal on //p' "$link.sim")
else
    timeout 300 "$sim" --link "$link" --log "$link.log" >/dev/null 2>&1 &
    for _ in $(seq 100); do [ -L "$link" ] && break || sleep 0.1; done
fi
trap 'kill $! 2>/dev/null' EXIT
# To a file, not a pipe: Wine's own services keep a pipe open after the program has ended.
timeout 100 "$@" >"$link.out" 2>&1
rc=$?
tr -d '\r' <"$link.out"
exit $rc
