#!/usr/bin/env bash
# A signed installer unpacks byte-identical under Wine and starts its
# second stage: the host mksetup builds it from the real unpacker and the
# test second stage, signs it with osslsigncode and a throwaway self-signed
# certificate, osslsigncode verifies it, and run_demo.exe runs it.
#
#   run_signed_installer.sh WINE_STATE_DIR MKSETUP UNPACKER.exe SECOND_STAGE.exe RUN_DEMO.exe FILE...
set -euo pipefail
. "$(dirname "$0")/host_mksetup_test.sh" "$1" "$2"
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
