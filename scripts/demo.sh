#!/usr/bin/env bash
# The main job: installs what is missing, builds the unpacker for both
# Windows targets and mksetup, packs a demo installer, runs the 32-bit one,
# the build that ships, under Wine on a virtual display and shows what
# happened. Where nothing can run 32-bit programs (scripts/setup.sh says
# why), it says so and runs the x86-64 installer instead.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
for preset in host win32 win64; do
  cmake --preset "$preset" --log-level=WARNING >/dev/null
  cmake --build --preset "$preset"
done

out="$root/demo-out"
rm -rf "$out"
mkdir -p "$out/files" "$out/temp"
mksetup="$root/build/host/tools/mksetup/mksetup"

# The files the demo installer carries after its second stage: a few small
# ones, and one large enough that the progress dialog shows for a moment.
cp README.md "$out/files/readme.txt"
printf 'Veltrano demo licence: use it as you like.\n' >"$out/files/licence.txt"
(set +o pipefail
 yes 'Veltrano demo data: a line of sample content for the installer to carry.' |
   head -c 200000000 >"$out/files/sample-data.txt")

for target in win64 win32; do
  cp "build/$target/demo/demo_second_stage.exe" "$out/files/second-stage.exe"
  "$mksetup" build --stub "build/$target/unpacker/unpacker.exe" -o "$out/setup-$target.exe" \
    "$out/files/second-stage.exe" "$out/files/readme.txt" "$out/files/licence.txt" "$out/files/sample-data.txt"
  "$mksetup" verify "$out/setup-$target.exe"
done
echo
"$mksetup" list "$out/setup-win32.exe"

# One Wine session (prefix, Xvfb display, wineserver) for the run.
state="$root/build/demo-wine"
bash scripts/wine-session.sh start "$state" >/dev/null
trap 'bash scripts/wine-session.sh stop "$state"' EXIT
. scripts/wine-env.sh "$state"  # winpath; the session's HOME from here on
echo
# 32-bit programs run here natively or through the emulator setup.sh registers.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  target=win32 other=win64
  echo "Running the 32-bit installer, the build that ships:"
else
  target=win64 other=win32
  echo "This machine cannot run 32-bit programs (see scripts/setup.sh's message): running the x86-64 installer instead:"
fi
bash scripts/wine-run.sh "$state" "build/$target/demo/run_demo.exe" \
  "$(winpath "$out/setup-$target.exe")" "$(winpath "$out/temp")\\" "$(winpath "$out/progress-dialog.png")"

echo
echo "On Linux the files are in $out/temp/KVFiles_Setup_Temp/"
[ -f "$out/progress-dialog.png" ] && echo "Screenshot of the progress dialog: $out/progress-dialog.png"
echo "The same installer for the other build: $out/setup-$other.exe"
