#!/usr/bin/env bash
# An installer whose streams libdeflate wrote (the Linux mksetup's default)
# unpacks byte-identical through the unpacker's own extraction code under
# Wine: extract_probe.exe is the stub, the host build's mksetup packs it.
#
#   run_libdeflate_installer.sh WINE_STATE_DIR MKSETUP EXTRACT_PROBE.exe FILE...
set -euo pipefail
state=$1 mksetup=$2 probe=$3
shift 3
if [ ! -x "$mksetup" ]; then
  echo "run_libdeflate_installer: no host mksetup at $mksetup (build the host preset first)"
  exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

"$mksetup" build --compressor libdeflate --level 12 --stub "$probe" -o "$work/setup.exe" "$@"
"$mksetup" verify "$work/setup.exe"
mkdir "$work/out"
"$here/../../scripts/wine-run.sh" "$state" "$work/setup.exe" "$(winpath "$work/out")\\" "$(winpath "$work/report.txt")"
n=1
for f in "$@"; do
  cmp "$f" "$work/out/KVFiles$n.tmp"
  n=$((n + 1))
done
echo "run_libdeflate_installer: $# files unpacked byte-identical"
