#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a Debian 12
# machine, fetches libdeflate's and zlib's sources for the Windows builds,
# and, where the machine cannot run 32-bit programs, makes it able to (see
# scripts/i386/emulator.sh). Idempotent: when everything is there it only
# checks and exits.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(
  cmake ninja-build g++ zlib1g-dev googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64 xvfb xauth x11-utils
  python3 man-db groff-base unzip
  clang libclang-rt-14-dev libdeflate-dev
  openssl osslsigncode
)
# The shipping build is 32-bit: Wine runs it through the i386 half of its
# loader, which needs the i386 architecture and wine32.
i386_packages=(wine32:i386)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# install_missing PACKAGE...: installs those not installed yet.
install_missing() {
  local missing=() p
  for p; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync serves an index of the wrong size for a
  # while: asked again, then the install tells what is still missing.
  # Where one suite's index stays wrong (its updates for i386, say), the
  # 32-bit libraries cannot match the 64-bit ones taken from it: the
  # release's own packages alone are installed instead.
  local try updated=no
  for try in 1 2 3; do
    $sudo apt-get update -qq && { updated=yes; break; }
    [ "$try" -eq 3 ] || { echo "setup: apt-get update failed; again in $((try * 30)) s"; sleep $((try * 30)); }
  done
  local options=(-y -qq --no-install-recommends)
  $sudo apt-get install "${options[@]}" "${missing[@]}" >/dev/null && return 0
  [ "$updated" = no ] || return 1
  local release
  release=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "setup: installing again from $release's own packages alone, without its updates"
  $sudo apt-get install "${options[@]}" -t "$release" "${missing[@]}" >/dev/null
}

if [ "$(dpkg --print-architecture)" = amd64 ] &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture"
  $sudo dpkg --add-architecture i386
fi
install_missing "${packages[@]}" "${i386_packages[@]}"

# Everything fetched is kept in a cache outside the source tree; CMake looks
# for the sources there.
cache="$HOME/.cache/veltrano-setup"

# private_apt: apt-get with a configuration of its own in $apt (sources
# written by the caller into $apt/sources.list and $apt/sources.list.d/, its
# own lists and cache), as apt_options; apt verifies downloads as usual and
# the system's configuration is not touched.
private_apt() {
  apt="$cache/apt"
  rm -rf "$apt"
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/download"
  : >"$apt/sources.list"
  apt_options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/sources.list.d"
               -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o Debug::NoLocking=1)
  # As root, apt would hand the download to its _apt user, who cannot
  # write into this cache.
  [ "$(id -u)" -ne 0 ] || apt_options+=(-o APT::Sandbox::User=root)
}

# check_sha256 FILE SHA256
check_sha256() { echo "$2  $1" | sha256sum -c --quiet -; }

# Sources for the Windows builds that Debian ships no MinGW build of:
# libdeflate, and zlib's inflate built small for the unpacker. Debian's
# source packages, from deb-src entries derived from this machine's own
# sources, each tarball checked against its pinned hash.
# fetch_source PACKAGE=DEBIAN_VERSION TARBALL SHA256 FOLDER
fetch_source() {
  local package=$1 tarball=$2 sha256=$3 folder=$4 f
  [ ! -f "$cache/$folder/.verified" ] || return 0
  echo "setup: fetching $package's sources into $cache"
  rm -rf "${cache:?}/$folder"
  private_apt
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt/sources.list.d/$(basename "$f")"
  done
  [ ! -f /etc/apt/sources.list ] ||
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >"$apt/sources.list"
  apt-get "${apt_options[@]}" -qq update
  (cd "$apt/download" && apt-get "${apt_options[@]}" -qq source --download-only "$package" >/dev/null)
  check_sha256 "$apt/download/$tarball" "$sha256"
  tar -xf "$apt/download/$tarball" -C "$cache"
  touch "$cache/$folder/.verified"
  rm -rf "$apt"
}
fetch_source libdeflate=1.14-1 libdeflate_1.14.orig.tar.gz \
  89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac libdeflate-1.14
fetch_source zlib=1:1.2.13.dfsg-1 zlib_1.2.13.dfsg.orig.tar.bz2 \
  71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1 zlib-1.2.13.dfsg

# 32-bit programs: natively, or through the emulator where there is none.
. "$here/i386/emulator.sh"
