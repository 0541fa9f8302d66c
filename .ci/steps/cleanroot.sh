#!/usr/bin/env bash
# A new user's first run: a clean Debian 12 root (debootstrap minbase), a clean copy of the
# committed tree, and only the README's two commands run in it as root (scripts/deps.sh installs
# what is missing). Then the Java bridge must really be there: the JVM tests ran (not skipped)
# and the library exports its 21 + 20 names. Then the Debian packages made from that build
# install and work as a new user would use them. Nothing is cached across runs.
#   CLEANROOT_DIR  where to build the root (default: a new directory under /var/tmp)
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$(date +%s)
say() { echo "--- cleanroot [$(($(date +%s) - start))s] $*"; }

if [ "$(id -u)" != 0 ]; then
    echo "cleanroot: needs root (debootstrap, chroot, mount)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if ! command -v debootstrap >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
fi
# The mirror this machine's apt uses reaches Debian; take its first URI.
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
    grep -m1 '/debian$' || true)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' \
    /etc/apt/sources.list 2>/dev/null || true)
mirror=${mirror:-http://deb.debian.org/debian}

root=${CLEANROOT_DIR:-$(mktemp -d /var/tmp/tarq-cleanroot.XXXXXX)}
mounts=(proc dev dev/pts)
cleanup() {
    local m busy=0
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        m=$root/${mounts[i]}
        if mountpoint -q "$m"; then umount "$m" 2>/dev/null || umount -l "$m" || busy=1; fi
    done
    # Never remove through a mount that is still there (it would reach the host's /dev).
    if [ $busy = 0 ]; then rm -rf --one-file-system "$root"; else echo "cleanroot: left $root"; fi
}
trap cleanup EXIT

say "debootstrap --variant=minbase bookworm $root ($mirror)"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || {
    cat "$root.debootstrap.log"
    exit 1
}
rm -f "$root.debootstrap.log"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/root/tarq"
git archive HEAD | tar -x -C "$root/root/tarq"
mount --bind /proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"

log=$(mktemp)
inroot() {
    say "$1 (as root in the clean root)"
    env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 chroot "$root" /bin/bash -c "cd /root/tarq && $1" >>"$log" 2>&1 || {
        tail -n 200 "$log"
        echo "cleanroot: '$1' failed in a clean Debian 12" >&2
        exit 1
    }
}
inroot "bash scripts/demo.sh"
inroot "bash scripts/test.sh"
# What the two commands ended with: the demo's results, the suite's tally, the JVM tests.
grep -E 'ECR result of|tests passed|Test +#[0-9]+: jni_' "$log" | sed 's/ \.\.\.*/ /' || true

# The bridge is there: the JVM tests ran and passed, and the exports count 21 + 20.
jvm=$(grep -cE 'Test +#[0-9]+: jni_jvm_[a-z]+ [.]+ +Passed' "$log" || true)
skipped=$(grep -E 'jni_jvm_.*(Skipped|Not Run)' "$log" || true)
exports=$(chroot "$root" nm -D --defined-only /root/tarq/build/libtarqdriver.so |
    awk '{ print $NF }' | grep -cE '^(trq|Java_no_kelmo_javaTarq_)' || true)
if [ "$jvm" = 0 ] || [ -n "$skipped" ] || [ "$exports" != 41 ]; then
    echo "cleanroot: Java bridge missing: $jvm JVM tests passed, $exports names exported" >&2
    echo "$skipped" >&2
    exit 1
fi
say "Java bridge: $jvm JVM tests ran, $exports names exported"

# The packages from that same build install, the example C till builds against them with
# pkg-config and takes a purchase from tarqsim configured in /etc/tarqdriver/, and the manual
# pages read.
cat >"$root/root/packages.sh" <<'SH'
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends file man-db >/dev/null
cd /root/tarq/build
rm -rf packages
cpack -G DEB >/dev/null
apt-get install -y -qq --no-install-recommends ./packages/*.deb >/dev/null
till=$(mktemp -d)
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$till/till" \
    /usr/share/doc/libtarqdriver-dev/examples/till.c $(pkg-config --cflags --libs tarqdriver)
tarqsim --link "$till/term" 2>"$till/terminal.log" &
sim=$!
trap 'kill $sim' EXIT
for _ in $(seq 50); do [ -e "$till/term" ] && break; sleep 0.1; done
printf '[BAUDRATE]\n"9600"\n[DEVICE]\n"%s"\n' "$till/term" >/etc/tarqdriver/tarqRS.ini
"$till/till" 1250 | tee "$till/out"
grep -q '^till: purchase 0: approved$' "$till/out"
man -P cat tarqecr >"$till/man.txt"
grep -q 'cash register on the command line' "$till/man.txt"
man -P cat tarqsim >/dev/null
tarqecr --version
tarqsim --version
SH
inroot "bash /root/packages.sh"
grep -aE '^till: |^tarq(ecr|sim) [0-9]' "$log" || true
rm -f "$log"
say "passed: $jvm JVM tests ran, $exports names exported, packages installed and used"
