#!/usr/bin/env bash
# Benchmarks, printed as tables: mksetup and the unpacker beside NSIS (see
# bench/peers.sh), extraction speed under Wine against the
# limit any mapped-view design pays and against the zlib build of the same
# extraction, one 1 GB record through the windowed inflate and the most
# mapped at once, the stub's size, payload size with
# libdeflate against zlib level 9, mksetup build on one thread and on all,
# and mksetup verify/extract throughput.
#
#   scripts/bench.sh [MEGABYTES]     (default 256)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
megabytes=${1:-256}

bash scripts/setup.sh
for preset in release win32 win64; do
  cmake --preset "$preset" --log-level=WARNING >/dev/null
  cmake --build --preset "$preset" >/dev/null
done

echo "Machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(uname -sr), $(/usr/lib/wine/wine64 --version 2>/dev/null)"
echo
echo "## Stub size"
echo "| 32-bit unpacker with all its resources | $(stat -c %s build/win32/unpacker/unpacker.exe) bytes | goal: under 57344 (56 KiB) |"
# Where the bytes go: the sections of the program as it ships.
i686-w64-mingw32-objdump -h build/win32/unpacker/unpacker.exe |
  while read -r _ name size _; do
    if [[ $name == .* ]]; then echo "| section $name | $((16#$size)) bytes |"; fi
  done

echo
echo "## Payload size"
corpus=()
while IFS= read -r f; do corpus+=("$f"); done < <(
  find build/win32 build/win64 -name '*.exe' -size +1k
  git ls-files '*.cpp' '*.h' '*.rc' '*.py' '*.cmake' '*.sh' '*.md'
  find /usr/lib/python3.11 -maxdepth 1 -name '*.py'
)
build/release/bench/host_bench sizes "${corpus[@]}"

echo
echo "## mksetup build of that payload, one thread against one per core"
echo "| threads | time | peak resident memory |"
echo "|---|---|---|"
# Files of the same name from different folders: each under a name of its
# own, as links in one folder (the cache left out: both builds compress).
rm -rf build/bench-corpus && mkdir build/bench-corpus
declare -A linked
for i in "${!corpus[@]}"; do
  target=$(realpath "${corpus[$i]}")
  [ -z "${linked[$target]:-}" ] || continue  # a file reached twice, by a link
  linked[$target]=1
  ln -s "$target" "build/bench-corpus/$(printf %04d "$i")-$(basename "${corpus[$i]}")"
done
for jobs in 1 "$(nproc)"; do
  /usr/bin/time -f "%e %M" -o build/bench-time.txt build/release/tools/mksetup/mksetup build --no-cache --follow-links \
    --stub build/win32/unpacker/unpacker.exe -o build/bench-mixed.exe --jobs "$jobs" build/bench-corpus >/dev/null
  read -r seconds kilobytes <build/bench-time.txt
  echo "| $jobs | $seconds s | $((kilobytes >> 10)) MB |"
done
rm -rf build/bench-mixed.exe build/bench-time.txt build/bench-corpus

echo
echo "## mksetup on the host, $megabytes MB"
build/release/bench/host_bench tools build/release/tools/mksetup/mksetup "$megabytes"

echo
state="$root/build/bench-wine"
bash scripts/wine-session.sh start "$state" >/dev/null
trap 'bash scripts/wine-session.sh stop "$state"; rm -rf "$root/build/bench-run"' EXIT
. scripts/wine-env.sh "$state"  # winpath; the session's HOME from here on
# The same payload through each build's ExtractFiles: the 32-bit build is
# the one that ships, the x86-64 build the one most tests run.
for preset in win32 win64; do
  echo
  echo "## Extraction under Wine, $megabytes MB, $preset build"
  run="$root/build/bench-run/$preset"
  mkdir -p "$run"
  # Each build three times, alternating, each from a fresh working folder;
  # the fastest run of each counts (the first runs pay for a cold cache).
  seconds() { awk -F'|' '/^\| extraction of/ {gsub(/[ s]/, "", $3); print $3}' "$1"; }
  for variant in extract_bench extract_bench_zlib; do
    bash scripts/wine-run.sh "$state" "build/$preset/bench/$variant.exe" make \
      "$(winpath "$run/$variant-setup.exe")" "$megabytes" >/dev/null
  done
  for round in 1 2 3; do
    for variant in extract_bench extract_bench_zlib; do
      rm -rf "$run/$variant"
      bash scripts/wine-run.sh "$state" "$run/$variant-setup.exe" run "$(winpath "$run/$variant")\\" \
        >"$run/$variant-$round.txt"
      best="$run/$variant.txt"
      if [ ! -f "$best" ] || awk -v a="$(seconds "$run/$variant-$round.txt")" -v b="$(seconds "$best")" \
        'BEGIN { exit !(a < b) }'; then
        cp "$run/$variant-$round.txt" "$best"
      fi
    done
  done
  cat "$run/extract_bench.txt"
  awk -v zlib="$(seconds "$run/extract_bench_zlib.txt")" -v deflate="$(seconds "$run/extract_bench.txt")" \
    'BEGIN { printf "| the same extraction inflating with zlib | %.3f s | libdeflate %.2fx faster (goal 1.25x) |\n", zlib, zlib / deflate }'
  rm -rf "$run"

  # One incompressible record of 1 GB: too large for one window, so zlib's
  # inflate takes it window by window.
  echo
  echo "## One 1 GB record, inflated window by window, $preset build"
  mkdir -p "$run"
  { openssl enc -aes-128-ctr -pass pass:veltrano -nosalt -pbkdf2 </dev/zero 2>/dev/null || true; } | head -c 1G >"$run/one.bin"
  build/release/tools/mksetup/mksetup build --stub "build/$preset/bench/extract_bench.exe" --compressor zlib --level 1 \
    -o "$run/big.exe" "$run/one.bin" >/dev/null
  rm "$run/one.bin"
  bash scripts/wine-run.sh "$state" "$run/big.exe" run "$(winpath "$run/out")\\" | grep -v "^| limit\|^| ratio\|^| zlib"
  rm -rf "$run"
done

# Beside NSIS: builds, a rebuild, installs, the digest's cost, a 2 GB file.
. "$root/bench/peers.sh"
