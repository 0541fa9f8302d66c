#!/usr/bin/env bash
# Runs one Windows test program under Wine, optionally with a scripted peer on the COM port.
#   run_with_peer.sh [--peer <link path> <peer command...> ---] -- <command...>
# The peer (the scripted peer or the terminal simulator) creates a pty and points <link path>
# (the path COM5 is mapped to) at it. The test passes when the command exits 0 and the peer,
# once stopped, exits 0 too. Output is shown with Windows line ends made plain.
set -uo pipefail

peer=() link=""
while [ $# -gt 0 ]; do
    case "$1" in
    --peer)
        link=$2; shift 2
        while [ "$1" != "---" ]; do peer+=("$1"); shift; done
        shift ;;
    --) shift; break ;;
    *) echo "run_with_peer: unknown option $1" >&2; exit 2 ;;
    esac
done

work=$(mktemp -d)
peer_pid=""
cleanup() {
    if [ -n "$peer_pid" ]; then kill -TERM "$peer_pid" 2>/dev/null; wait "$peer_pid" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

if [ ${#peer[@]} -gt 0 ]; then
    rm -f "$link"
    # Bounded even if this runner is killed (a test time-out) before it can stop the peer.
    timeout 300 "${peer[@]}" >"$work/peer.log" 2>&1 &
    peer_pid=$!
    for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.1; done
    if [ ! -L "$link" ]; then echo "run_with_peer: the peer did not publish $link"; exit 1; fi
fi

# Inside CTest's own time-out, so a hung program is reported here with what it printed.
timeout -k 5 100 "$@" >"$work/out.log" 2>&1
rc=$?
[ "$rc" = 124 ] && echo "run_with_peer: the program did not finish within 100 s"
tr -d '\r' <"$work/out.log"

if [ -n "$peer_pid" ]; then
    kill -TERM "$peer_pid" 2>/dev/null
    wait "$peer_pid"
    peer_rc=$?
    peer_pid=""
    cat "$work/peer.log"
    [ "$peer_rc" = 0 ] || { echo "run_with_peer: peer exit status $peer_rc"; rc=1; }
fi
exit "$rc"
