#!/usr/bin/env bash
# Release packages: the Debian packages from the native build, and the Windows zip from the two
# MinGW-w64 cross builds (the same build directories and options as windows.sh, which then has
# nothing left to rebuild). Lists them and checks their contents, runs lintian over the Debian
# packages, installs them on this machine, builds both example tills against them, takes a
# purchase with the C one against tarqsim configured in /etc/tarqdriver/, then purges them.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=${BUILD_DIR:-build}
start=$(date +%s)
say() { echo "--- packages [$(( $(date +%s) - start ))s] $*"; }
need() { # need LISTING WHAT...: each WHAT must appear in the listing
    local listing=$1; shift
    for f in "$@"; do
        grep -qE -- "$f" <<<"$listing" || { echo "packages: $f missing from the package"; exit 1; }
    done
}

say "Debian packages"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$root/$build"/packages/*.deb)
ddebs=("$root/$build"/packages/*.ddeb)
deb_of() { ls "$root/$build/packages/$1"_*.deb; }
for p in "${debs[@]}" "${ddebs[@]}"; do
    echo "$(basename "$p"):"
    dpkg-deb -c "$p" | awk '{ print "  " $1 " " $6 $7 $8 }'
done
ma='/usr/lib/[a-z0-9_]+-linux-gnu[a-z0-9_]*'
docs() { echo "/usr/share/doc/$1/copyright" "/usr/share/doc/$1/changelog\.Debian\.gz"; }
# shellcheck disable=SC2046
need "$(dpkg-deb -c "$(deb_of libtarqdriver1)")" "$ma/libtarqdriver\.so\.1\.[0-9.]+$" \
    "$ma/libtarqdriver\.so\.1 -> " /etc/tarqdriver/tarqRS.ini $(docs libtarqdriver1)
# shellcheck disable=SC2046
need "$(dpkg-deb -c "$(deb_of libtarqdriver-dev)")" "$ma/libtarqdriver\.so -> " \
    /usr/include/tarqdriver.h "$ma/pkgconfig/tarqdriver\.pc" \
    "$ma/cmake/tarqdriver/tarqdriverConfig\.cmake" \
    /usr/share/doc/libtarqdriver-dev/examples/till.c $(docs libtarqdriver-dev)
# shellcheck disable=SC2046
need "$(dpkg-deb -c "$(deb_of libtarqdriver-java)")" /usr/share/java/javaTarq.jar \
    /usr/share/doc/libtarqdriver-java/examples/ExampleTill.java $(docs libtarqdriver-java)
# shellcheck disable=SC2046
need "$(dpkg-deb -c "$(deb_of tarqdriver-tools)")" /usr/bin/tarqsim /usr/bin/tarqecr \
    /usr/share/man/man1/tarqsim.1.gz /usr/share/man/man1/tarqecr.1.gz $(docs tarqdriver-tools)
need "$(dpkg-deb -I "$(deb_of libtarqdriver1)" conffiles)" '^/etc/tarqdriver/tarqRS\.ini$'
# Stripped, with the debug information in the -dbgsym packages.
for p in libtarqdriver1 tarqdriver-tools; do
    ls "$root/$build/packages/$p-dbgsym"_*.ddeb >/dev/null
    unpacked=$(mktemp -d)
    dpkg-deb -x "$(deb_of "$p")" "$unpacked"
    if find "$unpacked" -type f -exec file {} + | grep 'ELF.*not stripped'; then
        echo "packages: $p holds unstripped binaries"
        exit 1
    fi
    rm -rf "$unpacked"
done

say "lintian"
if ! command -v lintian >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends lintian \
        >/dev/null
fi
# Errors fail the step; warnings are shown.
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" "${ddebs[@]}"

say "install them, build both examples against them, take a purchase with the C one"
apt-get install -y --no-install-recommends "${debs[@]}" >/dev/null
sim=
cleanup() {
    if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; fi
    rm -rf "$till"
    apt-get purge -y libtarqdriver1 libtarqdriver-dev libtarqdriver-java tarqdriver-tools \
        >/dev/null 2>&1 || true
}
till=$(mktemp -d)
trap cleanup EXIT
examples=/usr/share/doc/libtarqdriver-dev/examples
# The header is clean under -Wpedantic, both C standards, with each compiler there is.
for cc in gcc clang; do
    command -v $cc >/dev/null || continue
    for std in c99 c11; do
        # shellcheck disable=SC2046
        $cc -std=$std -Wall -Wextra -Wpedantic -Werror -o "$till/till" $examples/till.c \
            $(pkg-config --cflags --libs tarqdriver)
    done
done
javac -Xlint:all -Werror -cp /usr/share/java/javaTarq.jar -d "$till" \
    /usr/share/doc/libtarqdriver-java/examples/ExampleTill.java
tarqsim --version | grep -qE '^tarqsim [0-9]+\.[0-9]+\.[0-9]+'
tarqecr --version | grep -qE '^tarqecr [0-9]+\.[0-9]+\.[0-9]+'
# The simulator on a pseudo-terminal, named in the system-wide configuration.
tarqsim --link "$till/term" 2>"$till/terminal.log" &
sim=$!
for _ in $(seq 50); do [ -e "$till/term" ] && break; sleep 0.1; done
printf '[BAUDRATE]\n"9600"\n[DEVICE]\n"%s"\n' "$till/term" >/etc/tarqdriver/tarqRS.ini
"$till/till" 1250 | tee "$till/out"
# Each typed registration reached its own kind: display, card, receipts, then the result.
for line in '^till: | ' '^till: card read$' '^till: receipt$' '^till: purchase 0: approved$'; do
    grep -q -- "$line" "$till/out" || { echo "packages: no '$line' from the till"; exit 1; }
done
cleanup
trap - EXIT

say "Windows zip: x86_64 and i686 cross builds"
common=(-DTARQ_BUILD_TESTS=OFF -DTARQ_BUILD_BENCH=OFF)
sim=(-DTARQ_NATIVE_TARQSIM=)
if [ -x "$build/tools/tarqsim" ]; then sim=(-DTARQ_NATIVE_TARQSIM="$root/$build/tools/tarqsim"); fi
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
    -DTARQ_BUILD_WINE_TESTS=OFF -DTARQ_BUILD_TOOLS=ON "${common[@]}" >/dev/null
cmake --build build-win32 -j2
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DTARQ_BUILD_TOOLS=ON "${common[@]}" "${sim[@]}" -DTARQ_WIN32_BUILD_DIR="$root/build-win32" \
    -DTARQ_JAR="$root/$build/jni/javaTarq.jar" >/dev/null
cmake --build build-win64 -j2
rm -rf build-win64/packages
(cd build-win64 && cpack -G ZIP >/dev/null)
zip=$(ls "$root"/build-win64/packages/tarqdriver-*-windows.zip)
contents=$(cmake -E tar tf "$zip")
echo "$(basename "$zip"):"
sed 's/^/  /' <<<"$contents"
top='^tarqdriver-[^/]+-windows'
need "$contents" "$top/bin/Tarqdriver_win32dll\.dll$" "$top/x86/bin/Tarqdriver_win32dll\.dll$" \
    "$top/lib/Tarqdriver_win32dll\.dll\.a$" "$top/x86/lib/Tarqdriver_win32dll\.dll\.a$" \
    "$top/lib/tarqdriver\.def$" "$top/lib/javatarq\.def$" "$top/include/tarqdriver\.h$" \
    "$top/java/javaTarq\.jar$" "$top/tarqRS\.ini$" "$top/README-Windows\.txt$" \
    "$top/bin/tarqecr\.exe$" "$top/x86/bin/tarqecr\.exe$" \
    "$top/lib/Tarqdriver_win32dll\.lib$" "$top/x86/lib/Tarqdriver_win32dll\.lib$" \
    "$top/debug/Tarqdriver_win32dll\.dll\.debug$" "$top/x86/debug/Tarqdriver_win32dll\.dll\.debug$"
# Each DLL and program is what it claims to be; each DLL is stripped, names its debug file,
# carries its version, and has an import library for its own machine that names it.
unpacked=$(mktemp -d)
(cd "$unpacked" && cmake -E tar xf "$zip")
version=$(sed -n 's/^#define TARQDRIVER_VERSION_STRING "\(.*\)"$/\1/p' include/tarqdriver.h)
# (Microsoft's linker looks for __imp_name on x86_64 and __imp__name on i686.)
for pair in x86_64:pei-x86-64:.:__imp_ i686:pei-i386:x86:__imp__; do
    IFS=: read -r arch format sub imp <<<"$pair"
    dir=$(echo "$unpacked"/*/"$sub")
    for f in bin/Tarqdriver_win32dll.dll bin/tarqecr.exe; do
        "$arch-w64-mingw32-objdump" -f "$dir/$f" | grep -q "$format"
    done
    sections=$("$arch-w64-mingw32-objdump" -h "$dir/bin/Tarqdriver_win32dll.dll")
    if grep -q debug_info <<<"$sections" || ! grep -q gnu_debuglink <<<"$sections"; then
        echo "packages: $sub/bin/Tarqdriver_win32dll.dll not stripped with a debug link"; exit 1
    fi
    # (Not piped: grep -q stops at the first match, and strings, still writing, would die of
    # SIGPIPE, which pipefail counts as a failure.)
    grep -qx "$version" <<<"$(strings -el "$dir/bin/Tarqdriver_win32dll.dll")" ||
        { echo "packages: no version $version in $sub/bin/Tarqdriver_win32dll.dll"; exit 1; }
    "$arch-w64-mingw32-objdump" -f "$dir/debug/Tarqdriver_win32dll.dll.debug" | grep -q "$format"
    lib=$("$arch-w64-mingw32-nm" "$dir/lib/Tarqdriver_win32dll.lib")
    need "$lib" " ${imp}trqNorTransaction$"
    grep -q '^Tarqdriver_win32dll.dll$' <<<"$(strings "$dir/lib/Tarqdriver_win32dll.lib")"
done
rm -rf "$unpacked"
say "passed: ${#debs[@]} Debian packages, ${#ddebs[@]} debug packages, $(basename "$zip")"
