#!/usr/bin/env bash
# CTest's cross-compiling emulator for the Windows builds: runs one Windows
# program inside the session that wine-session.sh started, and passes its
# exit code through.
#
#   wine-run.sh STATE_DIR PROGRAM.exe [ARGS...]
set -euo pipefail
state=${1:?usage: wine-run.sh STATE_DIR PROGRAM [ARGS...]}
shift
if [ ! -s "$state/display" ]; then
  echo "wine-run: no Wine session in $state; start one with scripts/wine-session.sh start $state" >&2
  exit 125
fi
export DISPLAY
DISPLAY=$(cat "$state/display")
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$state"
exec "$WINE" "$@"
