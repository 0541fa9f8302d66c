#!/usr/bin/env bash
# Runs one Windows test case under Wine with the (native) terminal simulator on the pty that
# COM5 is mapped to; its frame log goes beside the link.   run_case.sh SIMULATOR LINK COMMAND...
sim=$1 link=$2
shift 2
rm -f "$link"
timeout 300 "$sim" --link "$link" --log "$link.log" >/dev/null 2>&1 &
trap 'kill $! 2>/dev/null' EXIT
for _ in $(seq 100); do [ -L "$link" ] && break || sleep 0.1; done
# To a file, not a pipe: Wine's own services keep a pipe open after the program has ended.
timeout 100 "$@" >"$link.out" 2>&1
rc=$?
tr -d '\r' <"$link.out"
exit $rc
