#!/bin/sh
# Creates (or refreshes) the private Wine prefix once before the Windows tests run, so
# parallel tests never race to create it.
set -e
export WINEPREFIX="$1" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
wineboot -u >/dev/null 2>&1 || wine cmd /c exit >/dev/null 2>&1
wineserver -w
test -d "$WINEPREFIX/drive_c/windows/system32"
echo "wine prefix ready: $WINEPREFIX"
