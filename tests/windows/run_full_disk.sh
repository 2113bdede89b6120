#!/usr/bin/env bash
# Runs unpacker_test's full-disk case with its working folder on a freshly
# mounted 4 MB tmpfs. Where none can be mounted (not root, or the sandbox
# forbids it), says so and skips.
#
#   run_full_disk.sh WINE_STATE_DIR unpacker_test.exe MOUNT_POINT
set -uo pipefail
mkdir -p "$3"
if ! mount -t tmpfs -o size=4m tmpfs "$3" 2>/dev/null; then
  echo "run_full_disk: cannot mount a tmpfs here"; exit 77
fi
trap 'umount "$3"' EXIT
export FULL_DISK_FOLDER
FULL_DISK_FOLDER="$(printf 'Z:%s\\' "$3" | tr '/' '\\')"
scripts="$(dirname "$0")/../../scripts"
"$scripts/run-to-summary.sh" gtest "$scripts/wine-run.sh" "$1" "$2" --gtest_filter='*FreeSpace*'
