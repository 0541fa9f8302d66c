#!/usr/bin/env bash
# The driver library exports exactly the 21 operations of its C interface (the Java bridge's
# Java_no_kelmo_javaTarq_* methods are checked by jni.sh), and `cmake --install` puts the
# library, the header, the CMake package and the pkg-config file in place for a cash register
# to build against.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
lib="$build/libtarqdriver.so"

expected="trqCardTransaction trqClockSyncHost trqClockSyncKelmo trqClose trqCloseRS232
trqEmployeeReport trqEndOfDay trqInitCallback trqLastEndOfDayReport trqLastReceipt trqLog
trqNorAdmin trqNorCardTransaction trqNorTransaction trqOpen trqOpenRS232 trqParameterReport
trqRestartTerm trqTermReport trqTestConnection trqTotalReport"
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^Java_no_kelmo_javaTarq_' |
    LC_ALL=C sort)
if ! diff <(tr -s ' \n' '\n\n' <<<"$expected" | sed '/^$/d' | LC_ALL=C sort) <(echo "$actual"); then
    echo "exports.sh: $lib exports other names than the 21 operations (diff above)" >&2
    exit 1
fi
echo "exports.sh: $lib exports exactly the 21 operations"

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libtarqdriver.so | head -1)")
for f in "$prefix/include/tarqdriver.h" "$libdir/libtarqdriver.so" \
         "$libdir/pkgconfig/tarqdriver.pc" "$libdir/cmake/tarqdriver/tarqdriverConfig.cmake"; do
    [ -e "$f" ] || { echo "exports.sh: not installed: $f" >&2; exit 1; }
done

# The example C till built with pkg-config against the installed files. It finds no
# configuration there, so it must end with its "line not opened" status, 3.
cp examples/till.c "$prefix/till.c"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$prefix/till" "$prefix/till.c" \
    $(pkg-config --cflags --libs tarqdriver)
status=0
LD_LIBRARY_PATH="$libdir" "$prefix/till" >/dev/null || status=$?
[ $status = 3 ] || { echo "exports.sh: the till ended with $status, not 3" >&2; exit 1; }

# The same through the CMake package.
mkdir -p "$prefix/cmake-till"
cat >"$prefix/cmake-till/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(till C)
find_package(tarqdriver REQUIRED)
add_executable(till ../till.c)
target_link_libraries(till PRIVATE tarqdriver::tarqdriver)
CM
cmake -S "$prefix/cmake-till" -B "$prefix/cmake-till/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/cmake-till/build" >/dev/null
status=0
LD_LIBRARY_PATH="$libdir" "$prefix/cmake-till/build/till" >/dev/null || status=$?
[ $status = 3 ] || { echo "exports.sh: the till ended with $status, not 3" >&2; exit 1; }
echo "exports.sh: installed library, header, CMake package and pkg-config file work"
