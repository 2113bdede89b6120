#!/usr/bin/env bash
# mksetup.exe, the Windows build of this preset (for win32 the one the
# release ships), under Wine: with SOURCE_DATE_EPOCH set it builds the same
# installer byte for byte as the host mksetup (both with libdeflate, the
# default), verifies and lists it, extracts it byte-identical, and refuses a
# damaged copy. Then the smallest installer there is: a one-byte payload,
# whose scan window reaches back into the stub, builds and installs.
#
#   run_windows_mksetup.sh WINE_STATE_DIR MKSETUP MKSETUP.exe STUB.exe RUN_DEMO.exe FILE...
set -euo pipefail
. "$(dirname "$0")/shell_test_preamble.sh" "$1" "$2"
winsetup=$3 stub=$4 runner=$5
shift 5
export SOURCE_DATE_EPOCH=1765000000
cp "$@" "$work/"
names=()
for f in "$@"; do names+=("$(basename "$f")"); done
cd "$work"

"$mksetup" build --stub "$stub" -o host.exe "${names[@]}" >/dev/null
wine_run "$winsetup" build --stub "$(winpath "$stub")" -o win.exe "${names[@]}" >/dev/null
cmp host.exe win.exe
wine_run "$winsetup" verify host.exe >/dev/null
wine_run "$winsetup" list host.exe | grep -q "KVFiles$#.tmp"
wine_run "$winsetup" extract host.exe out >/dev/null
n=1
for f in "${names[@]}"; do
  cmp "$f" "out/KVFiles$n.tmp"
  n=$((n + 1))
done
# The last record's stream, cut short by one byte in the middle.
size=$(stat -c %s host.exe)
head -c $((size - 40)) host.exe >damaged.exe
tail -c 39 host.exe >>damaged.exe
if wine_run "$winsetup" verify damaged.exe >/dev/null; then
  echo "run_windows_mksetup: verify passed a damaged installer"; exit 1
fi
echo "run_windows_mksetup: $(basename "$winsetup") built, verified, listed and extracted $# files as the host mksetup does"

printf 'x' >one
wine_run "$winsetup" build --stub "$(winpath "$stub")" -o one.exe one >/dev/null
"$mksetup" verify one.exe >/dev/null
mkdir temp
# The byte is no program: the hand-off's boxes follow, which run_demo answers.
wine_run "$runner" "$(winpath "$work/one.exe")" "$(winpath "$work/temp")\\" "$(winpath "$work/one.png")" >run.txt
cmp one temp/KVFiles_Setup_Temp/KVFiles1.tmp
echo "run_windows_mksetup: a one-byte payload builds ($(stat -c %s one.exe) bytes) and installs"
