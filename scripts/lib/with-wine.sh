#!/usr/bin/env bash
# with-wine.sh PREFIX_DIR COMMAND...: runs COMMAND with a private Wine prefix
# (created on first use) and a private Xvfb display, both stopped afterwards
# by PID / wineserver -k. Used by scripts/test; handy for running one
# Windows test program by hand, e.g.
#   scripts/lib/with-wine.sh /tmp/wp ctest --test-dir build/windows -R Log
set -uo pipefail
[ $# -ge 2 ] || { echo "usage: with-wine.sh PREFIX_DIR COMMAND..." >&2; exit 2; }
export WINEPREFIX=$(realpath -m "$1")
shift
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH

xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$fifo" >/dev/null 2>&1 &
xvfb_pid=$!
display=""
read -r -t 20 display < "$fifo" || true
rm -f "$fifo"
if [ -z "$display" ]; then
  echo "with-wine.sh: could not start Xvfb" >&2
  exit 1
fi
export DISPLAY=":$display"

if [ ! -f "$WINEPREFIX/.vl-ready" ]; then
  echo "== creating the private Wine prefix $WINEPREFIX" >&2
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  # A crash must fail the test, not wait forever on the crash dialog.
  /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.vl-ready"
fi
# A persistent server makes each Wine start cheap (~0.03 s instead of ~0.5 s).
wineserver -p >/dev/null 2>&1 || true
"$@"
