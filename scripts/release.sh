#!/usr/bin/env bash
# Builds the release archives: OUT_DIR/veltrano-setup-<VERSION>.tar.gz with
# the 32-bit unpacker, mksetup for Linux (x86-64) and for Windows (x86-64),
# mksetup's man page, the README, the licence, the notices of the libraries
# linked into them (libdeflate, zlib) and SHA256SUMS; and, for Windows,
# veltrano-setup-<VERSION>.zip, the same without the Linux mksetup. Each
# with a .sha256. With SOURCE_DATE_EPOCH set (default: the last commit's
# time), two runs give byte-identical archives: fixed order, owners, modes
# and times.
#
#   scripts/release.sh [OUT_DIR]      (default dist/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
version=$(tr -d '[:space:]' <VERSION)
name="veltrano-setup-$version"
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}

bash scripts/setup.sh
cmake --preset release --log-level=WARNING >/dev/null
cmake --build --preset release --target mksetup >/dev/null
cmake --preset win32 --log-level=WARNING >/dev/null
cmake --build --preset win32 --target unpacker >/dev/null
# The Windows builder is the x86-64 one: build machines are 64-bit, and a
# 32-bit process has no room for a file of a GB or two.
cmake --preset win64 --log-level=WARNING >/dev/null
cmake --build --preset win64 --target mksetup >/dev/null

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
stage="$staging/$name"
mkdir "$stage"
install -m 0755 build/win32/unpacker/unpacker.exe "$stage/unpacker.exe"
install -m 0755 build/release/tools/mksetup/mksetup "$stage/mksetup"
x86_64-w64-mingw32-strip -o "$stage/mksetup.exe" build/win64/tools/mksetup/mksetup.exe && chmod 0755 "$stage/mksetup.exe"
install -m 0644 README.md "$stage/README.md"
install -m 0644 tools/mksetup/mksetup.1 "$stage/mksetup.1"
install -m 0644 LICENSE "$stage/LICENSE"
# libdeflate is in all three programs, zlib in both mksetups: their licences,
# taken from the sources and headers the programs were built with.
libdeflate=$(cmake -L -N build/win32 | sed -n 's/^LIBDEFLATE_SOURCE_DIR:PATH=//p')
{
  echo "Third-party software in these programs"
  echo
  echo "== libdeflate $(basename "$libdeflate" | sed 's/^libdeflate-//') (unpacker.exe, mksetup, mksetup.exe)"
  echo
  cat "$libdeflate/COPYING"
  echo
  echo "== zlib $(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' /usr/include/zlib.h) (mksetup, mksetup.exe)"
  echo
  # The licence is the header's opening comment.
  sed -n '/Copyright (C)/,/\*\//p' /usr/include/zlib.h | sed 's/^  //; /\*\//d'
} >"$stage/THIRD_PARTY_NOTICES"
chmod 0644 "$stage/THIRD_PARTY_NOTICES"
windows=(LICENSE README.md THIRD_PARTY_NOTICES mksetup.1 mksetup.exe unpacker.exe)
(cd "$stage" && sha256sum "${windows[@]}" >SHA256SUMS.windows && sha256sum LICENSE README.md THIRD_PARTY_NOTICES mksetup mksetup.1 mksetup.exe unpacker.exe >SHA256SUMS &&
  chmod 0644 SHA256SUMS SHA256SUMS.windows)
touch -h -d "@$epoch" "$stage" "$stage"/*

mv "$stage/SHA256SUMS.windows" "$staging/SHA256SUMS"
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" --format=gnu \
  -C "$staging" -cf - "$name" | gzip -9 -n >"$out/$name.tar.gz"
# The zip: the folder's Windows files, their own SHA256SUMS, every entry
# dated by the epoch (zip keeps local time without a zone: it is UTC here).
python3 - "$staging" "$name" "$epoch" "$out/$name.zip" "${windows[@]}" <<'PY'
import os, sys, time, zipfile
staging, name, epoch, path, files = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5:]
stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip cannot date before 1980
with zipfile.ZipFile(path, "w") as z:
    for f in sorted(files + ["SHA256SUMS"]):
        info = zipfile.ZipInfo(name + "/" + f, stamp)
        info.compress_type, info.create_system = zipfile.ZIP_DEFLATED, 3
        info.external_attr = (0o100755 if f.endswith(".exe") else 0o100644) << 16
        source = os.path.join(staging, "SHA256SUMS" if f == "SHA256SUMS" else os.path.join(name, f))
        with open(source, "rb") as src:
            z.writestr(info, src.read(), compresslevel=9)
PY
(cd "$out" && sha256sum "$name.tar.gz" >"$name.tar.gz.sha256" && sha256sum "$name.zip" >"$name.zip.sha256")
echo "$out/$name.tar.gz"
echo "$out/$name.zip"
