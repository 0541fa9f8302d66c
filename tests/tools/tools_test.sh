#!/usr/bin/env bash
# The two programs as run: the simulator on its own pty, the ECR line with a driver beside its ini.
#   tools_test.sh SIM ECR LIB CASE      CASE: ctrl-c | ctrl-c-quit | scenario | refusals | replay
set -u
sim=$1 ecr=$2 dir=$(mktemp -d) fails=0 simpid=
cp "$3" "$dir/"
trap '[ -n "$simpid" ] && kill "$simpid" 2>/dev/null; [ "$fails" = 0 ] && rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
expect() { # file, then the patterns it must hold
    local f=$1; shift
    for p in "$@"; do grep -q -- "$p" "$dir/$f" || { fail "no '$p' in $f:"; cat "$dir/$f"; }; done
}
status() { [ "$1" = "$2" ] || fail "exit status $1, expected $2 ($3)"; }
wait_for() { for _ in $(seq $(($3 * 10))); do grep -q -- "$2" "$dir/$1" && return; sleep 0.1; done; }
start_sim() { # the simulator with these settings, and tarqRS.ini pointing at its line
    "$sim" --log "$dir/terminal.log" --exit-on-close --step-delay=20 "$@" >"$dir/sim.out" 2>&1 &
    simpid=$!
    wait_for sim.out 'terminal on ' 20
    printf '[DEVICE]\n"%s"\n[BAUDRATE]\n"9600"\n' "$(sed -n 's/.*terminal on //p' "$dir/sim.out")" \
        >"$dir/tarqRS.ini"
}
ends() { # the process $1 ends by itself within $2 s (else it is killed); its exit status
    for _ in $(seq $(($2 * 10))); do kill -0 $1 2>/dev/null || break; sleep 0.1; done
    kill -KILL $1 2>/dev/null
    wait $1
}
till() { "$ecr" --lib "$dir/libtarqdriver.so" "$@" >"$dir/till.out" 2>&1; }

case $4 in
ctrl-c) # Ctrl-C aborts the running payment instead of ending the till.
    start_sim --card-delay=60000 # no card comes: only the abort ends the payment
    "$ecr" --lib "$dir/libtarqdriver.so" purchase 20 >"$dir/till.out" 2>&1 &
    pid=$!
    # Signalled once the payment waits for the card, so the signal lands inside the payment.
    wait_for till.out 'SETT INN KORT' 30
    kill -INT $pid
    wait_for till.out 'ECR result of close' 30
    # The till ends by itself after its close (slower under the sanitizers' exit checks); still
    # running 20 s later, the signal ended nothing.
    ends $pid 20
    status $? 1 "the till ends by itself, the payment aborted"
    expect till.out 'Ctrl-C: asking the terminal to abort' 'ECR: abort requested' \
        'ECR result of purchase: 17 (aborted)' 'ECR result of close: 0' ;;
ctrl-c-quit) # Ctrl-C in a command, or twice in a payment, ends the till though the call hangs.
    start_sim --silence # requests stay unanswered: only the till's 2 s bound ends the call
    for run in 'report:command' 'purchase 20:payment request'; do
        "$ecr" --lib "$dir/libtarqdriver.so" ${run%:*} >"$dir/till.out" 2>&1 &
        pid=$!
        wait_for terminal.log "silent: ${run#*:} not answered" 30
        kill -INT $pid
        [ "${run%:*}" = report ] || { wait_for till.out 'asking the terminal' 10; kill -INT $pid; }
        ends $pid 10
        status $? 1 "${run%:*} ended by Ctrl-C"
        expect till.out 'Ctrl-C: ending' 'ending without closing the line'
    done ;;
scenario) # A scenario file drives the terminal; amounts as a cashier types them.
    printf '# declines the first payment\nresult = 10,0\nreceipts 1\n' >"$dir/declines.txt"
    start_sim --scenario "$dir/declines.txt"
    till purchase 1,5 purchase 2.00
    status $? 1 "a purchase declined"
    expect till.out 'ECR result of open: 100 (open)' 'ECR display: \[SETT INN KORT       \]' \
        'ECR card data: 457199\*\*\*\*\*\*1234$' 'ECR result of purchase: 10' 'KJØP      NOK 2,00' \
        'ECR result of purchase: 0 (approved' 'ECR result of close: 0 (closed)'
    wait "$simpid"
    status $? 0 "the simulator ends after the close"
    expect terminal.log 'amount=150 ' 'amount=200 ' ;;
refusals) # Settings and command lines that cannot be used are refused before any work.
    "$sim" --version >"$dir/version" && "$ecr" --version --lib "$dir/none.so" >>"$dir/version"
    status $? 0 "--version, which loads no driver"
    expect version '^tarqsim [0-9]*\.[0-9]*\.[0-9]' '^tarqecr [0-9]*\.[0-9]*\.[0-9]'
    "$sim" --result=abc >"$dir/out" 2>&1
    status $? 2 "bad setting value"
    printf 'result = 0\nbogus 1\n' >"$dir/bad.txt"
    "$sim" --scenario "$dir/bad.txt" >>"$dir/out" 2>&1
    status $? 2 "bad scenario line"
    expect out "bad value 'abc' for result" "bad.txt:2: unknown setting 'bogus'"
    till purchase 1
    status $? 3 "no tarqRS.ini"
    start_sim
    for words in 'purchase 12.345' 'purchase 10 bogus-command' admin bogus-command \
        'transaction abc 1' 'transaction 1.9 1' 'admin xx' '--currency NOK purchase 1' \
        '--abort-after soon purchase 1'; do
        till $words
        status $? 2 "$words"
        grep -q 'ECR result' "$dir/till.out" && fail "'$words' ran"
        cat "$dir/till.out" >>"$dir/out"
    done
    expect out "^tarqecr: unknown command 'bogus-command'$" "'1.9' is not a number for trans" \
        "'NOK' is not a number for --currency" "'soon' is not a number for --abort-after"
    grep -q 'connection opened' "$dir/terminal.log" && fail "the line was opened"
    till purchase 1
    status $? 0 "an approved purchase" ;;
replay) # A trace replayed: a session of several, frames beyond the recording, unusable files.
    t=$(dirname "$0")/../e2e/data/purchase.trace
    printf 'no frames\n' >"$dir/none.trace"
    sed '3s/ E1 10 / ZZ 10 /' "$t" >"$dir/bad.trace"
    for f in none bad; do "$sim" --replay "$dir/$f.trace" >>"$dir/out" 2>&1; status $? 2 $f; done
    expect out 'none.trace holds no frames' 'bad.trace:3: '
    sed '/call trqClose/,$d' "$t" | cat "$t" - >"$dir/two.trace" # the second one not closed
    for run in '0|the trace holds 2 sessions|' '1|session 2 of 2|--session 2'; do
        IFS='|' read -r want text args <<<"$run"
        start_sim --replay "$dir/two.trace" --fast $args
        till purchase 12.50
        wait "$simpid"
        status $? "$want" "replay $args"
        expect sim.out "$text"
    done
    expect sim.out 'more than the recording' 'PTAG_TERM_CLOSE'
    "$sim" --link "$dir/term" >"$dir/older.out" 2>&1 &
    older=$!
    wait_for older.out 'terminal on ' 20
    start_sim --link "$dir/term" # a newer simulator takes the link over; the older one leaves it
    kill $older && wait $older
    [ "$(readlink "$dir/term")" = "$(sed -n 's/.*terminal on //p' "$dir/sim.out")" ] ||
        fail "the older simulator removed the newer one's link" ;;
esac
[ "$fails" = 0 ] && echo "tools $4: passed"
exit "$fails"
