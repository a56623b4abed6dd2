#!/usr/bin/env bash
# echo_scene_bench.sh BUILD_DIR [ARGS...]: runs echo_scene_bench on a
# private 3840x2160 Xvfb display, stopped by PID afterwards.
set -euo pipefail
build=${1:?usage: echo_scene_bench.sh BUILD_DIR [ARGS...]}
shift
program="$build/bench/echo_scene_bench"
[ -x "$program" ] || { echo "build the echo_scene_bench target first" >&2; exit 2; }
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 3840x2160x24 -nolisten tcp -noreset 3>"$fifo" >/dev/null 2>&1 &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true' EXIT
display=""
read -r -t 20 display < "$fifo" || true
rm -f "$fifo"
[ -n "$display" ] || { echo "could not start Xvfb" >&2; exit 1; }
DISPLAY=":$display" "$program" "$@"
