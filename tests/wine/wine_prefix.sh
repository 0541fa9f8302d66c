#!/usr/bin/env bash
# Prepares the Wine prefix of the Windows tests and maps the test COM ports.
#   wine_prefix.sh <prefix dir> <COM5 link path> <COM6 path>
# COM5 points at a symbolic link that each test's peer re-points at its fresh pty, and so does
# COM12 (a two-digit port); COM6 points at a path that never exists (a port whose device has
# vanished). The caller exports
# WINEPREFIX, WINEDEBUG and WINEARCH and owns the Wine server.
set -euo pipefail
prefix=$1 com5=$2 com6=$3
if [ ! -f "$prefix/system.reg" ]; then
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$com5" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM12 /t REG_SZ /d "$com5" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM6 /t REG_SZ /d "$com6" /f >/dev/null 2>&1
# The port table is read when the Wine server starts.
wineserver -k || true
wineserver -w || true
