#!/usr/bin/env bash
# Fails when a file includes a folder of a layer above its own. Layers, bottom to top:
# link, core, protocol, engine, driver, jni; tools, bench and tests sit above them all (the
# benchmarks share the tests' clock and pty helpers). A folder may include itself and any folder below it.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A rank=([link]=0 [core]=1 [protocol]=2 [engine]=3 [driver]=4 [jni]=5
                 [tools]=6 [bench]=6 [tests]=6)
bad=0
for folder in "${!rank[@]}"; do
    [ -d "$folder" ] || continue
    while IFS=: read -r file line; do
        target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([a-z]+)\/.*/\1/' <<<"$line")
        [ -n "${rank[$target]+x}" ] || continue
        if [ "${rank[$target]}" -gt "${rank[$folder]}" ]; then
            echo "layering: $file includes $target/, a layer above $folder/" >&2
            bad=1
        fi
    done < <(grep -rHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z]+/' "$folder" \
                 --include='*.h' --include='*.cpp' --include='*.c' || true)
done
# The Java bridge sits on the exported operations: of the library it sees the C interface
# (include/), the driver's own headers and the character set conversion, nothing else.
while IFS=: read -r file line; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/' <<<"$line")
    case "$target" in
        jni/* | driver/* | protocol/charset.h) ;;
        */*) echo "layering: $file includes $target; jni/ sees only include/, driver/ and protocol/charset.h" >&2
             bad=1 ;;
        *) [ -e "include/$target" ] || [ -e "jni/$target" ] || [ "$target" = jni.h ] || {
               echo "layering: $file includes \"$target\", not a header of include/" >&2
               bad=1; } ;;
    esac
done < <(grep -rHE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' jni --include='*.h' \
             --include='*.cpp' --include='*.c' || true)
if [ "$bad" = 0 ]; then
    echo "layering: every include points to its own layer or one below;" \
         "jni/ includes only include/, driver/ and protocol/charset.h"
fi
exit "$bad"
