#!/usr/bin/env bash
# An installer whose streams libdeflate wrote (the Linux mksetup's default)
# unpacks byte-identical through the unpacker's own extraction code under
# Wine: extract_probe.exe is the stub, the host build's mksetup packs it.
#
#   run_libdeflate_installer.sh WINE_STATE_DIR MKSETUP EXTRACT_PROBE.exe FILE...
set -euo pipefail
. "$(dirname "$0")/shell_test_preamble.sh" "$1" "$2"
probe=$3
shift 3

"$mksetup" build --compressor libdeflate --level 12 --stub "$probe" -o "$work/setup.exe" "$@"
"$mksetup" verify "$work/setup.exe"
mkdir "$work/out"
wine_run "$work/setup.exe" "$(winpath "$work/out")\\" "$(winpath "$work/report.txt")"
n=1
for f in "$@"; do
  cmp "$f" "$work/out/KVFiles$n.tmp"
  n=$((n + 1))
done
echo "run_libdeflate_installer: $# files unpacked byte-identical"
