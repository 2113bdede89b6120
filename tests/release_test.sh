#!/usr/bin/env bash
# The release archive: built twice with the same SOURCE_DATE_EPOCH it is
# byte-identical, with fixed owners and times, holds exactly the files it
# should with their checksums, and carries the win32 build's unpacker.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
one=$(mktemp -d) two=$(mktemp -d)
trap 'rm -rf "$one" "$two"' EXIT
export SOURCE_DATE_EPOCH=1765000000   # 2025-12-06T05:46:40Z
"$root/scripts/release.sh" "$one" >/dev/null
sleep 1
archive=$("$root/scripts/release.sh" "$two")
cmp "$one/$(basename "$archive")" "$archive"
(cd "$two" && sha256sum -c "$(basename "$archive").sha256" >/dev/null)
listing=$(tar -tzvf "$archive" --full-time | awk '{print $2, $4, $5, $6}')
expected=$(for f in / /LICENSE /README.md /SHA256SUMS /THIRD_PARTY_NOTICES /mksetup /mksetup.exe /unpacker.exe; do
  echo "0/0 2025-12-06 05:46:40 $(basename "$archive" .tar.gz)$f"; done)
[ "$listing" = "$expected" ] || { echo "release_test: the archive holds:"; echo "$listing"; exit 1; }
tar -xzf "$archive" -C "$one"
cd "$one/$(basename "$archive" .tar.gz)"
sha256sum -c SHA256SUMS >/dev/null
cmp unpacker.exe "$root/build/win32/unpacker/unpacker.exe"
grep -q "Copyright 2016 Eric Biggers" THIRD_PARTY_NOTICES && grep -q "Jean-loup Gailly and Mark Adler" THIRD_PARTY_NOTICES
./mksetup --help >/dev/null
echo "release_test: $(basename "$archive") is reproducible and complete"
