#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a Debian 12
# machine. Idempotent: when every package is present it only checks and exits.
set -euo pipefail

packages=(
  cmake ninja-build g++ zlib1g-dev googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64 xvfb xauth x11-utils
  pigz python3
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

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
[ "$add_i386" -eq 0 ] || $sudo dpkg --add-architecture i386
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
