#!/usr/bin/env bash
# The release archive: built twice with the same SOURCE_DATE_EPOCH it is
# byte-identical, holds exactly the files it should with their checksums,
# fixed owners and times, and carries the 32-bit unpacker of the build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
one=$(mktemp -d) two=$(mktemp -d) look=$(mktemp -d)
trap 'rm -rf "$one" "$two" "$look"' EXIT
export SOURCE_DATE_EPOCH=1765000000   # 2025-12-06T05:46:40Z

"$root/scripts/release.sh" "$one" >/dev/null
sleep 1
archive=$("$root/scripts/release.sh" "$two")
name=$(basename "$archive" .tar.gz)
cmp "$one/$name.tar.gz" "$two/$name.tar.gz"
(cd "$two" && sha256sum -c "$name.tar.gz.sha256" >/dev/null)

expected="$name/
$name/LICENSE
$name/README.md
$name/SHA256SUMS
$name/THIRD_PARTY_NOTICES
$name/mksetup
$name/mksetup.exe
$name/unpacker.exe"
listed=$(tar -tzf "$archive")
if [ "$listed" != "$expected" ]; then
  echo "release_test: the archive holds:"; echo "$listed"; exit 1
fi
# Owners 0/0, every time the epoch.
if tar -tzvf "$archive" --full-time | grep -v ' 0/0 ' | grep -q .; then
  echo "release_test: an entry not owned by 0/0"; exit 1
fi
if tar -tzvf "$archive" --full-time | grep -v '2025-12-06 05:46:40' | grep -q .; then
  echo "release_test: an entry with another time"; tar -tzvf "$archive" --full-time; exit 1
fi

tar -xzf "$archive" -C "$look"
(cd "$look/$name" && sha256sum -c SHA256SUMS >/dev/null)
cmp "$look/$name/unpacker.exe" "$root/build/win32/unpacker/unpacker.exe"
cmp "$look/$name/LICENSE" "$root/LICENSE"
grep -q "Copyright 2016 Eric Biggers" "$look/$name/THIRD_PARTY_NOTICES"
grep -q "Jean-loup Gailly and Mark Adler" "$look/$name/THIRD_PARTY_NOTICES"
# The unpacker is a 32-bit (PE32, i386) GUI program.
exe="$look/$name/unpacker.exe"
pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$exe" | tr -d ' ')
magic=$(od -An -tx2 -j$((pe + 24)) -N2 "$exe" | tr -d ' ')
subsystem=$(od -An -tu2 -j$((pe + 24 + 68)) -N2 "$exe" | tr -d ' ')
[ "$machine" = 014c ] && [ "$magic" = 010b ] && [ "$subsystem" = 2 ] || {
  echo "release_test: unpacker.exe is machine $machine, magic $magic, subsystem $subsystem"; exit 1; }
"$look/$name/mksetup" --help >/dev/null
echo "release_test: $name.tar.gz is reproducible and complete"
