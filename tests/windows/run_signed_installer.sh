#!/usr/bin/env bash
# A signed installer unpacks byte-identical under Wine and starts its
# second stage: the host mksetup builds it from the real unpacker and the
# test second stage, signs it with osslsigncode and a throwaway self-signed
# certificate, osslsigncode verifies it, and run_demo.exe runs it.
#
#   run_signed_installer.sh WINE_STATE_DIR MKSETUP UNPACKER.exe SECOND_STAGE.exe RUN_DEMO.exe FILE...
set -euo pipefail
. "$(dirname "$0")/shell_test_preamble.sh" "$1" "$2"
stub=$3 stage=$4 runner=$5
shift 5

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Veltrano-Test \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
"$mksetup" build --stub "$stub" -o "$work/signed.exe" \
  --sign "osslsigncode sign -certs '$work/cert.pem' -key '$work/key.pem' -n Veltrano -in {in} -out {out} >/dev/null" \
  "$stage" "$@"
osslsigncode verify -CAfile "$work/cert.pem" "$work/signed.exe" | tail -1
"$mksetup" verify "$work/signed.exe"

mkdir "$work/temp"
wine_run "$runner" "$(winpath "$work/signed.exe")" \
  "$(winpath "$work/temp")\\" "$(winpath "$work/dialog.png")" >"$work/run.txt"
out="$work/temp/KVFiles_Setup_Temp"
grep -q 'exit code 0' "$work/run.txt"
if [ ! -f "$out/KVFiles1.tmp.report" ]; then
  echo "run_signed_installer: the second stage did not start"; cat "$work/run.txt"; exit 1
fi
cmp "$stage" "$out/KVFiles1.tmp"
n=2
for f in "$@"; do
  cmp "$f" "$out/KVFiles$n.tmp"
  n=$((n + 1))
done
echo "run_signed_installer: signed installer unpacked $(($# + 1)) files byte-identical and started its second stage"

# The signed installer trojaned: another payload (with its own second
# stage) hidden inside the certificate table, which the signature does not
# cover, far enough behind the genuine trailer that only the hidden one is
# in the file's last 30000 bytes; the table's lengths grown to match.
"$mksetup" build --stub "$stub" -o "$work/other.exe" "$runner" >/dev/null
python3 - "$work/signed.exe" "$work/other.exe" "$work/tampered.exe" <<'PY'
import struct, sys
signed, other = open(sys.argv[1], 'rb').read(), open(sys.argv[2], 'rb').read()
def security_entry(d):
    pe = struct.unpack_from('<I', d, 0x3C)[0]
    magic = struct.unpack_from('<H', d, pe + 24)[0]
    return pe + 24 + (112 if magic == 0x20B else 96) + 4 * 8
entry = security_entry(signed)
table, size = struct.unpack_from('<II', signed, entry)
first = struct.unpack_from('<I', other, len(other) - 19)[0]
hidden = bytearray(b'\0' * 32768 + other[first:])
struct.pack_into('<I', hidden, len(hidden) - 19, len(signed) + 32768)
hidden += b'\0' * (-len(hidden) % 8)
out = bytearray(signed + hidden)
struct.pack_into('<I', out, entry + 4, size + len(hidden))
struct.pack_into('<I', out, table, struct.unpack_from('<I', out, table)[0] + len(hidden))
open(sys.argv[3], 'wb').write(out)
PY
osslsigncode verify -CAfile "$work/cert.pem" "$work/tampered.exe" >/dev/null
if "$mksetup" verify "$work/tampered.exe" 2>"$work/verify.txt"; then
  echo "run_signed_installer: verify passed the trojaned installer"; exit 1
fi
grep -q "bytes of the certificate table are neither signature nor its padding" "$work/verify.txt"
rm -rf "$work/temp" && mkdir "$work/temp"
wine_run "$runner" "$(winpath "$work/tampered.exe")" \
  "$(winpath "$work/temp")\\" "$(winpath "$work/dialog.png")" >"$work/run.txt"
cmp "$stage" "$out/KVFiles1.tmp"
[ -f "$out/KVFiles1.tmp.report" ]
echo "run_signed_installer: the trojaned installer still verifies with osslsigncode, mksetup refuses it, and the unpacker runs the genuine second stage"
