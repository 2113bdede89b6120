#!/usr/bin/env bash
# One Wine session for a whole test run: a private prefix, one Xvfb display
# and a persistent wineserver, all kept under STATE_DIR (inside the build tree).
#
#   wine-session.sh start STATE_DIR   start Xvfb and wineserver, boot the prefix
#   wine-session.sh stop  STATE_DIR   end exactly what start started
#
# CTest runs these as the setup and cleanup fixtures of every Windows test;
# wine-run.sh then runs each test program inside the session.
set -euo pipefail

action=${1:?usage: wine-session.sh start|stop STATE_DIR}
state=${2:?usage: wine-session.sh start|stop STATE_DIR}
mkdir -p "$state"
state=$(cd "$state" && pwd)

. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$state"

stop_session() {
  if [ -d "$WINEPREFIX" ]; then
    "$WINESERVER" -k >/dev/null 2>&1 || true
  fi
  if [ -f "$state/xvfb.pid" ]; then
    pid=$(cat "$state/xvfb.pid")
    # Only our own Xvfb: the pid must still belong to an Xvfb process.
    if [ -n "$pid" ] && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = "Xvfb" ]; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
    rm -f "$state/xvfb.pid"
  fi
  rm -f "$state/display"
}

case "$action" in
  stop)
    stop_session
    ;;
  start)
    stop_session   # whatever an interrupted run left behind
    for tool in Xvfb "$WINE" "$WINESERVER"; do
      command -v "$tool" >/dev/null || { echo "wine-session: $tool is missing; run scripts/setup.sh" >&2; exit 1; }
    done

    # Xvfb picks a free display itself and writes its number to fd 3.
    : >"$state/display.new"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 \
      3>"$state/display.new" </dev/null >/dev/null 2>"$state/xvfb.log" &
    echo $! >"$state/xvfb.pid"
    for _ in $(seq 100); do
      [ -s "$state/display.new" ] && break
      sleep 0.1
    done
    [ -s "$state/display.new" ] || { echo "wine-session: Xvfb did not start" >&2; cat "$state/xvfb.log" >&2; exit 1; }
    display=":$(tr -d '[:space:]' <"$state/display.new")"
    rm -f "$state/display.new"
    export DISPLAY="$display"

    # The persistent server outlives every test program of the run. Its
    # output, and that of the helper processes the first boot spawns, goes
    # to /dev/null so that no pipe of CTest's stays open behind them.
    mkdir -p "$WINEPREFIX" "$HOME"
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "wine-session: booting a new prefix in $WINEPREFIX"
    fi
    "$WINE" wineboot -i </dev/null >/dev/null 2>&1
    # A test program that crashes must end, not wait on a crash dialog.
    "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      </dev/null >/dev/null 2>&1
    # There is no window manager on the display: unmanaged windows spare
    # each hidden window Wine's wait for the manager to withdraw it.
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
      </dev/null >/dev/null 2>&1
    echo "$display" >"$state/display"
    echo "wine-session: display $display, prefix $WINEPREFIX"
    ;;
  *)
    echo "usage: wine-session.sh start|stop STATE_DIR" >&2
    exit 2
    ;;
esac
