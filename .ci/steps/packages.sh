#!/usr/bin/env bash
# Release packages: the Debian package from the native build, and the Windows zip from the two
# MinGW-w64 cross builds (the same build directories and options as windows.sh, which then has
# nothing left to rebuild). Lists both, checks their contents, installs the .deb on this machine
# and builds the C till against it with pkg-config, then removes it again.
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

say "Debian package"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$root/$build"/packages/tarqdriver_*.deb)
contents=$(dpkg-deb -c "$deb")
echo "$(basename "$deb"):"
awk '{ print "  " $6 $7 $8 }' <<<"$contents"
need "$contents" '/usr/lib/libtarqdriver\.so\.1\.[0-9]+$' 'libtarqdriver\.so\.1 -> ' \
    'libtarqdriver\.so -> ' /usr/include/tarqdriver.h /usr/lib/pkgconfig/tarqdriver.pc \
    /usr/lib/cmake/tarqdriver/tarqdriverConfig.cmake /usr/bin/tarqsim /usr/bin/tarqecr \
    /usr/share/java/javaTarq.jar /usr/share/doc/tarqdriver/tarqRS.ini

say "install it and build the C till against it with pkg-config"
apt-get install -y --no-install-recommends "$deb" >/dev/null
trap 'apt-get remove -y tarqdriver >/dev/null 2>&1 || true' EXIT
till=$(mktemp -d)
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$till/till" .ci/till.c $(pkg-config --cflags --libs tarqdriver)
"$till/till"
rm -rf "$till"

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
version=$(sed -n 's/^project(tarqdriver VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
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
    strings -el "$dir/bin/Tarqdriver_win32dll.dll" | grep -qx "$version" ||
        { echo "packages: no version $version in $sub/bin/Tarqdriver_win32dll.dll"; exit 1; }
    "$arch-w64-mingw32-objdump" -f "$dir/debug/Tarqdriver_win32dll.dll.debug" | grep -q "$format"
    lib=$("$arch-w64-mingw32-nm" "$dir/lib/Tarqdriver_win32dll.lib")
    need "$lib" " ${imp}trqNorTransaction$"
    strings "$dir/lib/Tarqdriver_win32dll.lib" | grep -q '^Tarqdriver_win32dll.dll$'
done
rm -rf "$unpacked"
say "passed: $(basename "$deb"), $(basename "$zip")"
