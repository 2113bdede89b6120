#!/usr/bin/env bash
# The main job: installs what is missing, builds the unpacker for both
# Windows targets and mksetup, packs a demo installer, runs the x86-64 one
# under Wine on a virtual display and shows what happened. The 32-bit
# installer, the shipping artifact, is left in demo-out/ beside it.
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
echo "Running the 32-bit installer, the build that ships:"
bash scripts/wine-run.sh "$state" build/win32/demo/run_demo.exe \
  "$(winpath "$out/setup-win32.exe")" "$(winpath "$out/temp")\\" "$(winpath "$out/progress-dialog.png")"

echo
echo "On Linux the files are in $out/temp/KVFiles_Setup_Temp/"
[ -f "$out/progress-dialog.png" ] && echo "Screenshot of the progress dialog: $out/progress-dialog.png"
echo "The same installer for x86-64 Windows: $out/setup-win64.exe"
