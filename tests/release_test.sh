#!/usr/bin/env bash
# The release archives: built twice with the same SOURCE_DATE_EPOCH each is
# byte-identical, with fixed owners and times, holds exactly the files it
# should with their checksums, and carries the win32 build's unpacker; the
# man page renders cleanly and names every option the commands' help does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
one=$(mktemp -d) two=$(mktemp -d)
trap 'rm -rf "$one" "$two"' EXIT
export SOURCE_DATE_EPOCH=1765000000   # 2025-12-06T05:46:40Z
"$root/scripts/release.sh" "$one" >/dev/null
sleep 1
made=$("$root/scripts/release.sh" "$two")
archive=$(echo "$made" | grep '\.tar\.gz$') zip=$(echo "$made" | grep '\.zip$')
for a in "$archive" "$zip"; do
  cmp "$one/$(basename "$a")" "$a"
  (cd "$two" && sha256sum -c "$(basename "$a").sha256" >/dev/null)
done
listing=$(tar -tzvf "$archive" --full-time | awk '{print $2, $4, $5, $6}')
expected=$(for f in / /LICENSE /README.md /SHA256SUMS /THIRD_PARTY_NOTICES /mksetup /mksetup.1 /mksetup.exe /unpacker.exe; do
  echo "0/0 2025-12-06 05:46:40 $(basename "$archive" .tar.gz)$f"; done)
[ "$listing" = "$expected" ] || { echo "release_test: the archive holds:"; echo "$listing"; exit 1; }
tar -xzf "$archive" -C "$one"
cd "$one/$(basename "$archive" .tar.gz)"
sha256sum -c SHA256SUMS >/dev/null
cmp unpacker.exe "$root/build/win32/unpacker/unpacker.exe"
grep -q "Copyright 2016 Eric Biggers" THIRD_PARTY_NOTICES
grep -q "Jean-loup Gailly and Mark Adler" THIRD_PARTY_NOTICES
./mksetup --help >/dev/null
manual=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l mksetup.1 2>&1 >/dev/null)
[ -z "$manual" ] || { echo "release_test: mksetup.1: $manual"; exit 1; }
# The options of the usage lines and the option lists.
for option in $(for c in build list verify extract; do ./mksetup $c --help; done | grep -E '^usage:|^  -' |
                grep -oE -- '(^| |\[|\|)--?[a-z]+' | grep -oE -- '--?[a-z]+' | sort -u); do
  grep -qF -- "${option//-/\\-}" mksetup.1 || { echo "release_test: mksetup.1 does not describe $option"; exit 1; }
done
unzip -q "$zip" -d "$two/zip"
listing=$(cd "$two/zip" && find . -type f | sort | tr '\n' ' ')
[ "$listing" = "$(for f in LICENSE README.md SHA256SUMS THIRD_PARTY_NOTICES mksetup.1 mksetup.exe unpacker.exe; do
  printf './%s/%s ' "$(basename "$zip" .zip)" $f; done)" ] || { echo "release_test: the zip holds: $listing"; exit 1; }
(cd "$two/zip/$(basename "$zip" .zip)" && sha256sum -c SHA256SUMS >/dev/null && cmp mksetup.exe "$one/$(basename "$archive" .tar.gz)/mksetup.exe")
echo "release_test: $(basename "$archive") and $(basename "$zip") are reproducible and complete"
