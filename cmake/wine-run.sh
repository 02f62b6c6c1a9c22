#!/bin/sh
# Emulator for the Windows build's tests: WINEPREFIX and WINEDEBUG come from the test's
# environment (set by CTest); wine64 runs the 64-bit executable.
: "${WINEDEBUG:=-all}"
export WINEDEBUG
exec wine "$@"
