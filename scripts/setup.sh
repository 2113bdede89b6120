#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a Debian 12
# machine, and fetches libdeflate's sources for the Windows builds.
# Idempotent: when everything is there it only checks and exits.
set -euo pipefail

packages=(
  cmake ninja-build g++ zlib1g-dev googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64 xvfb xauth x11-utils
  python3
  clang libclang-rt-14-dev libdeflate-dev
  openssl osslsigncode
)
# The shipping build is 32-bit: Wine runs it through the i386 half of its
# loader, which needs the i386 architecture and wine32.
i386_packages=(wine32:i386)

if [ "$(dpkg --print-architecture)" = amd64 ] &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  add_i386=1
  missing=("${i386_packages[@]}")
else
  add_i386=0
  missing=()
  for p in "${i386_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  [ "$add_i386" -eq 0 ] || $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Sources for the Windows builds that Debian ships no MinGW build of:
# libdeflate, and zlib's inflate built small for the unpacker. Debian's
# source packages, fetched by apt with a private configuration whose
# deb-src entries are derived from this machine's own sources (apt verifies
# them as usual; the system's configuration is not touched), then each
# tarball checked against its pinned hash. Kept in a cache outside the
# source tree; CMake looks for them there.
cache="$HOME/.cache/veltrano-setup"
# fetch_source PACKAGE=DEBIAN_VERSION TARBALL SHA256 FOLDER
fetch_source() {
  local package=$1 tarball=$2 sha256=$3 folder=$4
  [ ! -f "$cache/$folder/.verified" ] || return 0
  echo "setup: fetching $package's sources into $cache"
  local apt="$cache/apt"
  rm -rf "$apt" "${cache:?}/$folder"
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/download"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt/sources.list.d/$(basename "$f")"
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >"$apt/sources.list"
  else
    : >"$apt/sources.list"
  fi
  local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/sources.list.d"
                 -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o Debug::NoLocking=1)
  # As root, apt would hand the download to its _apt user, who cannot
  # write into this cache.
  [ "$(id -u)" -ne 0 ] || options+=(-o APT::Sandbox::User=root)
  apt-get "${options[@]}" -qq update
  (cd "$apt/download" && apt-get "${options[@]}" -qq source --download-only "$package" >/dev/null)
  echo "$sha256  $apt/download/$tarball" | sha256sum -c --quiet -
  tar -xf "$apt/download/$tarball" -C "$cache"
  touch "$cache/$folder/.verified"
  rm -rf "$apt"
}
fetch_source libdeflate=1.14-1 libdeflate_1.14.orig.tar.gz \
  89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac libdeflate-1.14
fetch_source zlib=1:1.2.13.dfsg-1 zlib_1.2.13.dfsg.orig.tar.bz2 \
  71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1 zlib-1.2.13.dfsg
