#!/bin/sh
# Runs one JVM test group in a fresh work directory holding its own copy of the library (the
# driver reads its tarqRS.ini beside it). Standard output goes to a file, so that the test can
# read back each native call's printed lines; the file is shown afterwards, with the logs of the
# simulator and the example till when the group failed.
# usage: run_group.sh JAVA LIBRARY GROUP WORKDIR JAVA-OPTIONS...
java=$1 lib=$2 group=$3 work=$4
shift 4
rm -rf "$work" && mkdir -p "$work/lib" "$work/side" && cp "$lib" "$work/lib/" || exit 1
case $group in
    loadname) where=-Djava.library.path=$work/lib ;; # found by its platform name
    loadfail) where=-Djava.library.path=$work/side ;; # nothing to find there
    *) where=-Dtarqdriver.library=$work/lib/$(basename "$lib") ;;
esac
out=$work/stdout.txt
(cd "$work" && "$java" "$where" -Dtarqtest.stdout="$out" "$@" BridgeTest "$group" "$work" >"$out")
rc=$?
cat "$out"
if [ $rc != 0 ]; then
    for log in "$work"/*.log; do [ -f "$log" ] && echo "---- $log" && cat "$log"; done
fi
exit $rc
