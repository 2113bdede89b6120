#!/usr/bin/env bash
# mksetup and the unpacker beside NSIS 3 (makensis, zlib, not solid), the
# installer compiler a publisher would otherwise pick, on the same payload
# (make_payload.py) and the same machine: builds (time, peak memory, size),
# a rebuild with one file changed, the installs of both under the same Wine
# prefix (whole processes, runs alternated), the payload's digest's cost on
# each build, and one file of 2 GB on one core and on all. Sourced by
# scripts/bench.sh, which has built the release, win32 and win64 presets and
# started the Wine session $state (with winpath).
set -euo pipefail
peers="$root/build/bench-peers"
rm -rf "$peers"
mkdir -p "$peers"
mksetup="$root/build/release/tools/mksetup/mksetup"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
command -v makensis >/dev/null || { echo "bench: installing Debian's nsis for the comparison"; $sudo apt-get install -y -qq nsis >/dev/null; }

# Whether this machine runs 32-bit programs itself (setup.sh registers the
# emulator only where it cannot): emulated timings are never the product's.
native32=yes
[ ! -e /proc/sys/fs/binfmt_misc/veltrano-i386 ] || native32=no

python3 "$root/bench/make_payload.py" "$peers/payload" "$root/build/win32/bench/exit_at_once.exe"
files=("$peers/payload/setup2.exe" "$peers/payload"/text*.txt "$peers/payload"/noise*.bin "$peers/payload"/zeros*.bin)
{
  echo "OutFile \"$peers/nsis-setup.exe\""
  echo 'SetCompressor zlib'
  echo 'RequestExecutionLevel user'
  echo 'Section'
  echo 'SetOutPath $INSTDIR'
  for f in "${files[@]}"; do echo "File \"$f\""; done
  echo 'SectionEnd'
} >"$peers/setup.nsi"

# timed COMMAND...: "seconds peak-MB" of the command.
timed() { /usr/bin/time -f "%e %M" -o "$peers/time.txt" "$@" >/dev/null; awk '{printf "%s %d\n", $1, $2 / 1024}' "$peers/time.txt"; }
ours=(env XDG_CACHE_HOME="$peers/cache" "$mksetup" build -q --stub)
size() { stat -c %s "$1"; }

echo
echo "## Beside NSIS 3 ($(makensis -VERSION), zlib): $(du -sm "$peers/payload" | cut -f1) MB, ${#files[@]} files"
echo "(16 text files of 10 MB, 8 incompressible of 8 MB, 8 of zeros of 4 MB, a second stage of $(size "$peers/payload/setup2.exe") bytes; $(nproc) cores)"
echo
echo "| build | time | peak memory | size |"
echo "|---|---|---|---|"
for run in 1 2; do
  read -r nsisTime nsisMemory < <(timed makensis -V1 "$peers/setup.nsi")
  rm -rf "$peers/cache"
  read -r oursTime oursMemory < <(timed "${ours[@]}" "$root/build/win32/unpacker/unpacker.exe" -o "$peers/ours.exe" "${files[@]}")
  nsisSize=$(size "$peers/nsis-setup.exe") oursSize=$(size "$peers/ours.exe")
  echo "| makensis, run $run | $nsisTime s | $nsisMemory MB | $nsisSize bytes |"
  echo "| mksetup build (defaults), run $run | $oursTime s | $oursMemory MB | $oursSize bytes |"
  awk -v n="$nsisTime" -v o="$oursTime" -v ns="$nsisSize" -v os="$oursSize" \
    'BEGIN { printf "| mksetup against makensis, run %d | %.2fx faster (goal 1.5x) | | %.2f%% smaller (goal 3.0%%) |\n", '"$run"', n / o, 100 * (1 - os / ns) }'
done
for level in 6 9 12; do
  rm -rf "$peers/cache"
  read -r t m < <(timed "${ours[@]}" "$root/build/win32/unpacker/unpacker.exe" -o "$peers/level.exe" --level "$level" "${files[@]}")
  echo "| mksetup build --level $level | $t s | $m MB | $(size "$peers/level.exe") bytes |"
done

# One file changed: makensis builds everything again; mksetup takes the
# others from its cache (which the last default build filled).
rm -rf "$peers/cache"
"${ours[@]}" "$root/build/win32/unpacker/unpacker.exe" -o "$peers/ours.exe" "${files[@]}"
printf 'one more line\n' >>"$peers/payload/text05.txt"
read -r nsisTime _ < <(timed makensis -V1 "$peers/setup.nsi")
read -r oursTime _ < <(timed "${ours[@]}" "$root/build/win32/unpacker/unpacker.exe" -o "$peers/ours.exe" "${files[@]}")
echo "| rebuild with text05.txt changed: makensis | $nsisTime s | | |"
echo "| rebuild with text05.txt changed: mksetup, the rest from its cache | $oursTime s | | |"
awk -v n="$nsisTime" -v o="$oursTime" 'BEGIN { printf "| rebuild, mksetup against makensis | %.1fx faster (goal 10x) | | |\n", n / o }'

# The installs, each a whole process started as a user starts it
# (unelevated), the runs alternated; best and median of nine. The same
# installer with its digest's record cleared installs unchecked: the same
# stub without the digest's work.
"${ours[@]}" "$root/build/win32/unpacker/unpacker.exe" -o "$peers/ours-win32.exe" "${files[@]}"
"${ours[@]}" "$root/build/win64/unpacker/unpacker.exe" -o "$peers/ours-win64.exe" "${files[@]}"
for build in win32 win64; do
  python3 - "$peers/ours-$build.exe" "$peers/ours-$build-nodigest.exe" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.find(b"KV" + b"DIGEST")  # the image's record of its payload's digest
data[at + 8] = 0  # recorded: no
open(sys.argv[2], "wb").write(data)
EOF
done
timer=(bash "$root/scripts/wine-run.sh" "$state" "$root/build/win64/bench/run_timed.exe" --unelevated)
install() {  # NAME: one install's seconds
  local work="$peers/run/$1"
  rm -rf "$work" && mkdir -p "$work"
  case $1 in
    nsis) "${timer[@]}" "$(winpath "$peers/nsis-setup.exe")" /S "/D=$(winpath "$work")" ;;
    *) "${timer[@]}" --temp "$(winpath "$work")\\" "$(winpath "$peers/ours-$1.exe")" ;;
  esac
}
installers=(nsis win32 win32-nodigest win64 win64-nodigest)
for name in "${installers[@]}"; do install "$name" >/dev/null; done  # every file once in the cache
for round in $(seq 9); do
  for name in "${installers[@]}"; do install "$name" >>"$peers/$name.times"; done
done
best() { sort -n "$peers/$1.times" | head -n 1; }
median() { sort -n "$peers/$1.times" | sed -n 5p; }
echo
echo "| install, whole process under Wine, best of 9 (median) | seconds | against NSIS |"
echo "|---|---|---|"
echo "| NSIS's installer | $(best nsis) ($(median nsis)) | |"
for name in win32 win32-nodigest win64 win64-nodigest; do
  label="the unpacker, ${name%-nodigest} build$([ "$name" = "${name%-nodigest}" ] || echo ", its digest's work left out")"
  if [ "${name#win32}" != "$name" ] && [ "$native32" = no ]; then
    echo "| $label | not measured: this machine runs 32-bit programs only through an emulator | |"
    continue
  fi
  awk -v b="$(best "$name")" -v m="$(median "$name")" -v n="$(best nsis)" -v l="$label" \
    'BEGIN { printf "| %s | %.3f (%.3f) | %.2fx faster%s |\n", l, b, m, n / b, l ~ /32/ && l !~ /left/ ? " (goal 2.5x)" : "" }'
done
for build in win32 win64; do
  [ "$build" = win64 ] || [ "$native32" = yes ] || continue
  awk -v with="$(best "$build")" -v without="$(best "$build-nodigest")" -v mw="$(median "$build")" -v mo="$(median "$build-nodigest")" \
    'BEGIN { printf "| the digest'"'"'s cost, '"$build"' build | %+.1f%% best, %+.1f%% median (goal 5%% at most) | |\n", 100 * (with / without - 1), 100 * (mw / mo - 1) }'
done

# One file of 2 GB (the start of a tar of /usr): deflated in pieces, on one
# core and on all.
tar -cf - -C / usr 2>/dev/null | head -c 2G >"$peers/large.bin" || true
echo
echo "| one file of $(($(size "$peers/large.bin") >> 20)) MB | time | peak memory | size |"
echo "|---|---|---|---|"
for jobs in 1 "$(nproc)"; do
  read -r t m < <(timed "${ours[@]}" "$root/build/win32/unpacker/unpacker.exe" -o "$peers/large.exe" --no-cache --jobs "$jobs" "$peers/large.bin")
  echo "| --jobs $jobs | $t s | $m MB | $(size "$peers/large.exe") bytes |"
  echo "$t" >>"$peers/large.times"
done
awk 'NR == 1 { one = $1 } NR == 2 { printf "| all cores against one | %.2fx faster (goal 1.8x on 2 cores) | | |\n", one / $1 }' "$peers/large.times"
rm -rf "$peers"
