#!/usr/bin/env bash
# One Wine session per prefix, kept alive across many program runs.
#   wine-session.sh start PREFIX   create the prefix if needed (wineboot -i), start a persistent
#                                  wineserver and its system processes, detached from our output
#   wine-session.sh stop PREFIX    end the session (wineserver -k)
# Without a warm session every program start costs seconds, and Wine's system processes would
# inherit (and hold open) the output pipe of whichever program started them first.
set -euo pipefail
cmd="$1"
mkdir -p "$2"
export WINEPREFIX="$(cd "$2" && pwd)"
export WINEDEBUG=-all

# True when a wineserver of this prefix runs (found by the prefix in its environment).
session_running() {
  local pid
  for pid in $(pgrep -u "$(id -u)" -f 'wineserver' 2>/dev/null); do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      return 0
    fi
  done
  return 1
}

case "$cmd" in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "creating Wine prefix $WINEPREFIX (once)" >&2
      wineboot -i </dev/null >/dev/null 2>&1 || true
      wineserver -w
    fi
    if ! session_running; then
      wineserver -p </dev/null >/dev/null 2>&1
      wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
    fi
    ;;
  stop)
    if session_running; then wineserver -k 2>/dev/null || true; fi
    ;;
  *) echo "usage: $0 start|stop PREFIX" >&2; exit 2 ;;
esac
