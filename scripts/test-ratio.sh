#!/usr/bin/env bash
# Counts non-blank lines of the tests (C++, Java, shell; CMake files left out) against the
# product code, and fails when the tests pass a third of the code.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.java' \
        -o -name '*.sh' \) -print0 2>/dev/null | xargs -0 -r cat | grep -cv '^[[:space:]]*$' || true
}
tests=$(count tests)
code=$(count include driver engine protocol core link jni tools java examples)
pct=$(( 100 * tests / code ))
echo "test ratio: tests ${tests} / code ${code} non-blank lines = ${pct} %"
if [ $(( 3 * tests )) -gt "$code" ]; then
    echo "test ratio: the tests are more than a third of the code" >&2
    exit 1
fi
