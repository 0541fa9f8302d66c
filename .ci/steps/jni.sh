#!/usr/bin/env bash
# The driver library exports exactly the 20 native methods of no.kelmo.javaTarq (the plain
# operations are checked by exports.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."
lib=${BUILD_DIR:-build}/libtarqdriver.so
expected=$(printf 'Java_no_kelmo_javaTarq_%s\n' \
    SetTrqPath trqInitCallback trqOpenRS232 trqOpen trqTestConnection trqCardTransaction \
    trqNorCardTransaction trqNorTransaction trqNorAdmin trqLastReceipt trqEndOfDay \
    trqTotalReport trqLog trqLastEndOfDayReport trqParameterReport trqTermReport \
    trqClockSyncHost trqRestartTerm trqCloseRS232 trqClose | sort)
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | grep '^Java_' | sort || true)
if [ "$expected" != "$actual" ]; then
    echo "jni: the Java exports of $lib differ from the 20 native methods:"
    diff <(echo "$expected") <(echo "$actual") || true
    exit 1
fi
echo "jni: $lib exports exactly the 20 native methods of no.kelmo.javaTarq"
