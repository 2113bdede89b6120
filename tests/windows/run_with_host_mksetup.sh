#!/usr/bin/env bash
# With the host build's mksetup, under Wine:
# - mksetup.exe (for win64 the one the release ships) builds the same bytes
#   with SOURCE_DATE_EPOCH, verifies, lists (the payload's digest too) and
#   extracts them, refuses a damaged copy and one whose payload is not the
#   stub's own, and builds a one-byte payload that installs; it runs a
#   signer found on the PATH, never one planted in the current folder or its
#   own, and refuses a batch file; it takes a tree, a list of inputs,
#   wildcards and names in UTF-8; the 32-bit one builds a 1.5 GB file;
# - a signed installer (osslsigncode, a throwaway certificate) verifies,
#   unpacks and starts its second stage; the same with another payload hidden
#   in its certificate table still verifies with osslsigncode, but mksetup
#   refuses it and the unpacker runs the genuine second stage; with bytes
#   appended after the table, the unpacker extracts nothing.
#
#   run_with_host_mksetup.sh WINE_STATE_DIR MKSETUP MKSETUP.exe STUB.exe SECOND_STAGE.exe RUN_DEMO.exe FILE...
set -euo pipefail  # (set -e passes over a failure before a list's last &&: one check a line)
state=$1 mksetup=$2 winsetup=$3 stub=$4 runner=$6
[ -x "$mksetup" ] || { echo "no host mksetup at $mksetup (build the host preset first)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../../scripts/wine-env.sh" "$state"
wine_run() { "$(dirname "$0")/../../scripts/wine-run.sh" "$state" "$@"; }
cp "$5" "${@:7}" "$work/" && cd "$work"
files=(second_stage_probe.exe "${@:7}") && files=("${files[@]##*/}")
# same DIR FILE...: the files are DIR's KVFiles1.tmp, KVFiles2.tmp, ...
same() {
  local dir=$1 n=0
  shift
  for f; do
    n=$((n + 1))
    cmp "$f" "$dir/KVFiles$n.tmp"
  done
}
# Installs $1 with temp/ as the temp folder (run_demo answers any box).
install() {
  rm -rf temp && mkdir temp
  wine_run "$runner" "$(winpath "$1")" "$(winpath temp)\\" "$(winpath shot.png)" >run.txt
  grep -q 'exit code 0' run.txt
}

SOURCE_DATE_EPOCH=1765000000 "$mksetup" build --stub "$stub" -o host.exe "${files[@]}" >/dev/null
SOURCE_DATE_EPOCH=1765000000 wine_run "$winsetup" build --stub "$(winpath "$stub")" -o win.exe "${files[@]}" >/dev/null
cmp host.exe win.exe
wine_run "$winsetup" verify host.exe >/dev/null
wine_run "$winsetup" list host.exe | grep -q "KVFiles${#files[@]}.tmp"
# The payload's digest as the stub records it; with one byte of record 0's
# header changed, verify says the payload is not the stub's own.
wine_run "$winsetup" list host.exe | grep -q "payload digest (BLAKE2s-256) [0-9a-f]\{64\}, as the stub records"
python3 -c "import struct; d = bytearray(open('host.exe', 'rb').read()); d[struct.unpack_from('<I', d, len(d) - 19)[0] + 8] ^= 1
open('altered.exe', 'wb').write(d)"
! wine_run "$winsetup" verify altered.exe 2>altered.txt || { echo "verify passed an altered payload"; exit 1; }
grep -q "the payload's digest is not the one the stub records" altered.txt
wine_run "$winsetup" extract host.exe out >/dev/null
same out "${files[@]}"
head -c -40 host.exe >damaged.exe && tail -c 39 host.exe >>damaged.exe
! wine_run "$winsetup" verify damaged.exe >/dev/null || { echo "verify passed a damaged installer"; exit 1; }
printf 'x' >one
wine_run "$winsetup" build --stub "$(winpath "$stub")" -o one.exe one >/dev/null
install one.exe  # no program: the hand-off's boxes follow
same temp/KVFiles_Setup_Temp one
# The signing program under a path with blanks runs (no shell): a program that
# writes no signed file is told apart from one that could not be started.
mkdir "Program Files" && cp "$5" "Program Files/probe.exe"
! wine_run "$winsetup" build --stub "$(winpath "$stub")" -o s.exe --sign "'$(winpath "$work/Program Files/probe.exe")' {in} {out}" one 2>sign.txt
grep -q "the signing command wrote no" sign.txt
# The signer is looked up on the PATH alone: an osslsigncode.exe planted in
# the current folder and beside mksetup.exe never runs (it would leave its
# report here), one on the PATH does; a batch file is refused, saying why,
# even named with the trailing dot and blank that Windows drops.
cp "$winsetup" own-mksetup.exe && cp "$5" osslsigncode.exe && mkdir bin && cp "$5" bin/signer.exe
! wine_run own-mksetup.exe build --stub "$(winpath "$stub")" -o p.exe --sign "osslsigncode sign {in} {out}" one 2>plant.txt
grep -q "osslsigncode is not on the PATH" plant.txt
[ ! -e osslsigncode.exe.report ] || { echo "the planted signer ran"; exit 1; }
! WINEPATH="$(winpath "$work/bin")" wine_run own-mksetup.exe build --stub "$(winpath "$stub")" -o p.exe --sign "signer {in} {out}" one 2>plant.txt
grep -q "the signing command wrote no" plant.txt
[ -e signer.exe.report ]
printf '@echo off\r\n' >sign.cmd
! wine_run "$winsetup" build --stub "$(winpath "$stub")" -o p.exe --sign "'$(winpath sign.cmd). ' {in} {out}" one 2>plant.txt
grep -q "is a batch file, which cmd.exe runs" plant.txt
[ ! -e p.exe ]
# A publisher's tree: a folder with an empty file and a name outside ASCII,
# an @list, a wildcard mksetup.exe expands itself and a name outside the
# ANSI code page on its command line (UTF-8 is its code page) give the bytes
# the host's mksetup gives for the same files; the manifest is in 1253.
mkdir -p tree/Ωmega tree/docs w && printf a >tree/docs/a.txt && : >tree/Ωmega/empty.txt && printf 'tree\n# a comment\n' >list.txt
printf x >w/x.txt && printf y >w/y.txt && printf z >w/z.dat && printf Ω >Ωfile.txt
SOURCE_DATE_EPOCH=1765000000 LC_ALL=C.UTF-8 wine_run "$winsetup" build --stub "$(winpath "$stub")" --codepage 1253 -o tree.exe one \
  @list.txt 'w\*.txt' Ωfile.txt >/dev/null
SOURCE_DATE_EPOCH=1765000000 "$mksetup" build --stub "$stub" --codepage 1253 -o host-tree.exe one @list.txt w/x.txt w/y.txt Ωfile.txt >/dev/null
cmp tree.exe host-tree.exe
[ "$("$mksetup" list --codepage 1253 tree.exe | awk '$1 ~ /^[1-9][0-9]*$/ {print $NF}' | tr '\n' ' ')" = \
  'one docs\a.txt Ωmega\empty.txt x.txt y.txt Ωfile.txt ' ]
# A file of 1.5 GB is compressed in pieces: the 32-bit mksetup.exe builds it,
# byte for byte as the host's mksetup does.
if [[ $winsetup == */win32/* ]]; then
  truncate -s 1500M huge.bin
  SOURCE_DATE_EPOCH=1765000000 wine_run "$winsetup" build --stub "$(winpath "$stub")" -o huge.exe one huge.bin >/dev/null
  SOURCE_DATE_EPOCH=1765000000 "$mksetup" build --stub "$stub" -o host-huge.exe one huge.bin >/dev/null
  cmp huge.exe host-huge.exe
  wine_run "$winsetup" verify huge.exe >/dev/null
  rm huge.bin huge.exe host-huge.exe
fi
echo "with_host_mksetup: $(basename "$winsetup") builds what the host mksetup builds; a one-byte payload installs"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Veltrano-Test -keyout key.pem -out cert.pem 2>/dev/null
"$mksetup" build --stub "$stub" -o signed.exe "${files[@]}" >/dev/null \
  --sign "osslsigncode sign -certs '$work/cert.pem' -key '$work/key.pem' -n Veltrano -in {in} -out {out}"
osslsigncode verify -CAfile cert.pem signed.exe >/dev/null
"$mksetup" verify signed.exe >/dev/null
install signed.exe
same temp/KVFiles_Setup_Temp "${files[@]}"
[ -f temp/KVFiles_Setup_Temp/KVFiles1.tmp.report ]
# Built with a signed stub, the certificate table no longer ends the file:
# the build reads its result back and refuses it.
osslsigncode sign -certs cert.pem -key key.pem -in "$stub" -out signed-stub.exe >/dev/null
! "$mksetup" build --stub signed-stub.exe -o resigned.exe one 2>/dev/null || { echo "built on a signed stub"; exit 1; }
[ ! -e resigned.exe ]
# Bytes after the certificate table: no payload is read at all (-6).
cp signed.exe appended.exe && printf 'after the table' >>appended.exe
install appended.exe
grep -q "Unexpected error in unpacker's ExtractFiles" run.txt
[ ! -e temp/KVFiles_Setup_Temp/KVFiles0.tmp ]
# The hidden payload, far enough behind the genuine trailer that only its
# own is in the file's last 30000 bytes; the table's lengths grown to match.
"$mksetup" build --stub "$stub" -o other.exe "$runner" >/dev/null
python3 - <<'PY'
import struct
signed, other = open('signed.exe', 'rb').read(), open('other.exe', 'rb').read()
pe = struct.unpack_from('<I', signed, 0x3C)[0]
entry = pe + 24 + (112 if struct.unpack_from('<H', signed, pe + 24)[0] == 0x20B else 96) + 4 * 8
table, size = struct.unpack_from('<II', signed, entry)
hidden = bytearray(b'\0' * 32768 + other[struct.unpack_from('<I', other, len(other) - 19)[0]:])
struct.pack_into('<I', hidden, len(hidden) - 19, len(signed) + 32768)
hidden += b'\0' * (-len(hidden) % 8)
out = bytearray(signed + hidden)
struct.pack_into('<I', out, entry + 4, size + len(hidden))
struct.pack_into('<I', out, table, struct.unpack_from('<I', out, table)[0] + len(hidden))
open('tampered.exe', 'wb').write(out)
PY
osslsigncode verify -CAfile cert.pem tampered.exe >/dev/null
! "$mksetup" verify tampered.exe 2>verify.txt || { echo "verify passed the tampered installer"; exit 1; }
grep -q "bytes of the certificate table are neither signature nor its padding" verify.txt
install tampered.exe
same temp/KVFiles_Setup_Temp second_stage_probe.exe
[ -f temp/KVFiles_Setup_Temp/KVFiles1.tmp.report ]
echo "with_host_mksetup: signed, it installs; with bytes after its signature the unpacker extracts nothing; with a payload hidden in its signature, mksetup refuses it and the unpacker runs the genuine second stage"
