#!/usr/bin/env bash
# Windows: cross-builds Tarqdriver_win32dll.dll for x86_64 and i686 with MinGW-w64, checks that
# both export exactly the plain operations and the Java bridge's native methods (no decoration)
# and need no MinGW run-time DLL, then runs the Windows test programs under 64-bit Wine with
# COM5 mapped to a pseudo-terminal whose other end is the terminal simulator. (No 32-bit Wine here: the i686 DLL is built and checked only; no Windows JVM
# either: the native methods are export-checked, and their side files tested under Wine.)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
start=$(date +%s)
say() { echo "--- windows [$(( $(date +%s) - start ))s] $*"; }

common=(-DTARQ_BUILD_TESTS=OFF -DTARQ_BUILD_TOOLS=OFF -DTARQ_BUILD_BENCH=OFF)
# The simulator that scripts/test.sh has just built natively serves as the terminal; without
# one, the Windows build makes its own.
sim=(-DTARQ_NATIVE_TARQSIM=)
if [ -x build/tools/tarqsim ]; then sim=(-DTARQ_NATIVE_TARQSIM="$root/build/tools/tarqsim"); fi
say "cross-build x86_64 (build-win64) with tarqecr.exe and the Windows test programs"
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    "${common[@]}" -DTARQ_BUILD_TOOLS=ON "${sim[@]}" >/dev/null
cmake --build build-win64 -j2
say "cross-build i686 (build-win32)"
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
    -DTARQ_BUILD_WINE_TESTS=OFF "${common[@]}" -DTARQ_BUILD_TOOLS=ON >/dev/null
cmake --build build-win32 -j2 --target tarqdriver

# The export table must equal the EXPORTS lists of the .def files, name for name: the 21 plain
# operations and the Java bridge's 20 native methods, undecorated (on i686 too).
defNames() { sed -n '/^EXPORTS/,$p' "$1" | awk 'NR > 1 && NF && $1 !~ /^;/ { print $1 }'; }
want=$( (defNames cmake/win/tarqdriver.def; defNames cmake/win/javatarq.def) | sort)
if [ "$(wc -l <<<"$want")" != 41 ]; then
    echo "windows: the .def files list $(wc -l <<<"$want") names, not 21 + 20"
    exit 1
fi
for pair in x86_64:build-win64 i686:build-win32; do
    arch=${pair%%:*} dir=${pair#*:}
    dll=$dir/Tarqdriver_win32dll.dll
    dump=$("$arch-w64-mingw32-objdump" -p "$dll")
    got=$(awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { on = 0 }
               on { print $NF }' <<<"$dump" | sort)
    if [ "$got" != "$want" ]; then
        echo "windows: $dll exports differ from the .def file:"
        diff <(echo "$want") <(echo "$got") || true
        exit 1
    fi
    imports=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$dump" | sort -u | tr '\n' ' ')
    for name in $imports; do
        case $name in
        kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ws2_32.dll) ;;
        *) echo "windows: $dll needs $name beside it (not linked statically)"; exit 1 ;;
        esac
    done
    say "$arch: $(wc -l <<<"$got") exports as listed, imports: $imports"
done

# One Wine prefix inside the build tree and one Wine server for the whole run.
export WINEPREFIX=$root/build-win64/wineprefix WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
say "Wine prefix, COM5 -> build-win64/wine-com5 (pty), COM6 -> a vanished device"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
# COM5 and COM12 (a two-digit port) lead to the link each test's simulator points at its pty;
# COM6 to a path that never exists (a vanished device). Read when the Wine server starts.
for port in COM5:wine-com5 COM12:wine-com5 COM6:wine-com6-gone; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "${port%%:*}" /t REG_SZ \
        /d "$root/build-win64/${port#*:}" /f >/dev/null 2>&1
done
wineserver -k || true
wineserver -w || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineserver -p >/dev/null 2>&1

say "Windows tests under Wine (one at a time: they share COM5)"
ctest --test-dir build-win64/cmake/win --output-on-failure -j1
say "passed"
