#!/usr/bin/env bash
# The large case (CTest label "large", left out of scripts/test.sh): an
# installer of 3.1 GB whose largest file, 2.3 GB, is incompressible, built
# by the host mksetup at its default level and installed by this preset's
# unpacker under Wine. Every file must come out byte for byte, with an empty
# log, and the second stage must start. Prints the times and the most the
# installer's process had mapped at once (its views of its own file and of
# the outputs, read from /proc while it runs). The build's peak resident
# memory must stay under 512 MB, whatever the files' sizes (MKSETUP is the
# release build, which this builds: a sanitizer's would not say), and a
# build of 1,000 files of 1 MB within 258 MB; this preset's mksetup.exe
# verifies the installer where its address space holds it (x86-64) and says
# so in one line where not (32-bit).
# Needs about 11 GB of disk.
#
#   run_large_installer.sh WINE_STATE_DIR MKSETUP STUB.exe SECOND_STAGE.exe RUN_DEMO.exe WORK_DIR MKSETUP.exe
set -euo pipefail
state=$1 mksetup=$2 stub=$3 probe=$4 runner=$5 work=$6 winsetup=$7
(cd "$(dirname "$0")/../.." && cmake --preset release --log-level=WARNING >/dev/null &&
  cmake --build --preset release --target mksetup >/dev/null)
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
# within MB, at most KB of peak resident memory: the command's own report
peak() { /usr/bin/time -f %M -o peak.txt "$@" >/dev/null && echo "$(($(cat peak.txt) >> 10))"; }
SECONDS=0
built=$(peak "$mksetup" build --stub "$stub" -o setup.exe second_stage_probe.exe large.bin more.bin)
[ "$built" -lt 512 ] || { echo "building took $built MB, 512 or more"; exit 1; }
echo "large installer: $(stat -c %s setup.exe) bytes, one file of $(stat -c %s large.bin), built in $SECONDS s" \
  "and at most $built MB"
"$mksetup" verify setup.exe >/dev/null
mkdir many && head -c 1000M large.bin | split -b 1M -a 3 - many/f
many=$(peak "$mksetup" build --stub "$stub" -o many.exe second_stage_probe.exe many/f*)
[ "$many" -le 258 ] || { echo "building 1,000 files of 1 MB took $many MB, more than 258"; exit 1; }
echo "large installer: 1,000 files of 1 MB built in at most $many MB" && rm -r many many.exe
if wine_verify=$("$(dirname "$0")/../../scripts/wine-run.sh" "$state" "$winsetup" verify "$(winpath "$work/setup.exe")" 2>&1); then
  echo "large installer: $(basename "$winsetup") verifies it"
else
  [ "$(echo "$wine_verify" | grep -c "too large to map")" -eq 1 ] || { echo "$wine_verify"; exit 1; }
  echo "large installer: this 32-bit $(basename "$winsetup") says it has no room: $wine_verify"
fi

mkdir temp
SECONDS=0
"$(dirname "$0")/../../scripts/wine-run.sh" "$state" "$runner" "$(winpath "$work/setup.exe")" "$(winpath "$work/temp")\\" \
  "$(winpath "$work/shot.png")" >run.txt &
runner_pid=$!
python3 "$(dirname "$0")/../../scripts/most-mapped.py" "$runner_pid" "$work" >mapped.txt &
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
