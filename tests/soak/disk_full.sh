#!/bin/bash
# Mounts a 2 MiB tmpfs inside the Wine prefix's drive C:, runs the disk-full test against it
# and unmounts it again, however the test ends. Exit code 77 (skipped) when no tmpfs can be
# mounted here (not root, or no mount rights in this container).
#
# usage: disk_full.sh TEST.exe        (WINEPREFIX set, as for every Wine test)
set -euo pipefail

exe=$1
: "${WINEPREFIX:?WINEPREFIX must be set}"
name=kestrune-soak-full-$$
mount_dir=$WINEPREFIX/drive_c/$name

mkdir -p "$mount_dir"
mounted=0
cleanup() {
    local status=$?
    if [ "$mounted" = 1 ]; then
        umount "$mount_dir" 2>/dev/null || umount -l "$mount_dir" || true
    fi
    rmdir "$mount_dir" 2>/dev/null || true
    exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

if ! error=$(mount -t tmpfs -o size=2m kestrune-soak "$mount_dir" 2>&1); then
    echo "SKIPPED: cannot mount a tmpfs at $mount_dir: $error"
    exit 77
fi
mounted=1

KESTRUNE_SOAK_FULL_DIR="C:\\$name" WINEDEBUG=-all wine "$exe"
