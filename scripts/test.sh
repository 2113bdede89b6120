#!/usr/bin/env bash
# Installs what is missing, builds the host, fuzz, win32 and win64 presets,
# and runs every test: the host tests natively, the Windows tests under Wine
# for both Windows builds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

presets=(host fuzz win32 win64)
for preset in "${presets[@]}"; do
  cmake --preset "$preset" --log-level=WARNING
  cmake --build --preset "$preset"
done

status=0
for preset in "${presets[@]}"; do
  echo "== tests: $preset"
  ctest --preset "$preset" -LE large || status=1
done
exit $status
