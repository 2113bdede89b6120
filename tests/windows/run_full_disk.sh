#!/usr/bin/env bash
# Runs full_disk_test with its working folder on a freshly mounted 4 MB
# tmpfs, and unmounts it afterwards. Where no file system can be mounted
# (not root, or the sandbox forbids it), the test runs without one and
# skips, saying why.
#
#   run_full_disk.sh WINE_STATE_DIR TEST.exe MOUNT_POINT
set -uo pipefail
state=$1 test=$2 mountpoint=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$mountpoint"
if mount -t tmpfs -o size=4m tmpfs "$mountpoint" 2>/dev/null; then
  trap 'umount "$mountpoint"' EXIT
  export FULL_DISK_FOLDER
  FULL_DISK_FOLDER="$(printf 'Z:%s\\' "$mountpoint" | tr '/' '\\')"
  echo "run_full_disk: a 4 MB tmpfs at $mountpoint"
else
  echo "run_full_disk: cannot mount a tmpfs here; the test will skip"
fi
"$here/../../scripts/wine-run.sh" "$state" "$test"
