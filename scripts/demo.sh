#!/usr/bin/env bash
# The main job: builds everything and, once the unpacker exists, packs and
# runs a demo installer under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
for preset in win32 win64 host; do
  cmake --preset "$preset" --log-level=WARNING
  cmake --build --preset "$preset"
done

echo
echo "Built the payload format, the error reporter and mapped file access for"
echo "32-bit Windows (build/win32), 64-bit Windows (build/win64) and the host."
echo "The demo installer is not there yet: it needs the unpacker program and"
echo "mksetup, which come next. Run scripts/test.sh to see what works today."
