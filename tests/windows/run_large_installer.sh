#!/usr/bin/env bash
# The large case (CTest label "large", left out of scripts/test.sh): an
# installer of 3.1 GB whose largest file, 2.3 GB, is incompressible, built
# by the host mksetup with stored streams and installed by this preset's
# unpacker under Wine. Every file must come out byte for byte, with an empty
# log, and the second stage must start. Prints the time and the most the
# installer's process had mapped at once (its views of its own file and of
# the outputs, read from /proc while it runs). Needs about 10 GB of disk.
#
#   run_large_installer.sh WINE_STATE_DIR MKSETUP STUB.exe SECOND_STAGE.exe RUN_DEMO.exe WORK_DIR
set -euo pipefail
state=$1 mksetup=$2 stub=$3 probe=$4 runner=$5 work=$6
[ -x "$mksetup" ] || { echo "no host mksetup at $mksetup (build the host preset first)"; exit 77; }
rm -rf "$work" && mkdir -p "$work" && cd "$work"
trap 'cd / && rm -rf "$work"' EXIT
. "$(dirname "$0")/../../scripts/wine-env.sh" "$state"

# N bytes that no compressor can shrink (openssl ends on the closed pipe).
noise() {
  { openssl enc -aes-128-ctr -pass "pass:$1" -nosalt -pbkdf2 </dev/zero 2>/dev/null || true; } | head -c "$2" >"$3"
  [ "$(stat -c %s "$3")" -eq "$(numfmt --from=iec "$2")" ]
}
noise large 2300M large.bin
noise more 800M more.bin
cp "$probe" second_stage_probe.exe
"$mksetup" build --stub "$stub" --level 0 -o setup.exe second_stage_probe.exe large.bin more.bin >/dev/null
"$mksetup" verify setup.exe >/dev/null
echo "large installer: $(stat -c %s setup.exe) bytes, one file of $(stat -c %s large.bin)"

mkdir temp
SECONDS=0
"$(dirname "$0")/../../scripts/wine-run.sh" "$state" "$runner" "$(winpath "$work/setup.exe")" "$(winpath "$work/temp")\\" \
  "$(winpath "$work/shot.png")" >run.txt &
runner_pid=$!
python3 "$(dirname "$0")/../../scripts/most-mapped.py" "$runner_pid" setup.exe "$work" >mapped.txt &
wait "$runner_pid"
seconds=$SECONDS
wait  # the sampler
out=temp/KVFiles_Setup_Temp
grep -q 'exit code 0' run.txt
[ ! -s "$out/setup_error.log" ] || { echo "the log is not empty:"; cat "$out/setup_error.log"; exit 1; }
n=0 && for f in second_stage_probe.exe large.bin more.bin; do cmp "$f" "$out/KVFiles$((n += 1)).tmp"; done
[ -f "$out/KVFiles1.tmp.report" ] || { echo "the second stage did not start"; exit 1; }
printf 'large installer: installed byte for byte in %d s, the second stage started; most mapped at once %d MB\n' \
  "$seconds" "$(($(cat mapped.txt) >> 20))"
