#!/usr/bin/env bash
# End to end on Linux: the X server goes away under a headless agent that is
# being watched and operated. The agent keeps serving system control, picks
# up a new server on the same display, and SIGTERM still ends it at once,
# leaving the single-instance guard free for the next start.
#
#   e2e_x_server_gone.sh AGENT PAD
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e.sh"
e2e_enter_netns "$0" "$@"
command -v xdotool >/dev/null || { echo "SKIP: xdotool missing"; exit 77; }

agent_src=$(realpath "$1")
pad=$(realpath "$2")
work=$(mktemp -d)
pids=()
log="$work/app/data/logs/agent.log"
fail() { echo "FAIL: $*"; echo "---- agent log"; tail -40 "$log" 2>/dev/null; exit 1; }
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
ip link set lo up || fail "no loopback"

# A display number of its own, above those -displayfd hands out: once the
# server is killed, another program's new X server must not take its place.
display=""
for n in $(seq 131 139); do
  lock="/tmp/.X$n-lock"
  if [ -e "$lock" ] && kill -0 "$(tr -dc 0-9 < "$lock")" 2>/dev/null; then continue; fi
  display=$n; break
done
[ -n "$display" ] || { echo "SKIP: no free display number"; exit 77; }
export DISPLAY=":$display"
x_answers() { xdotool getmouselocation >/dev/null 2>&1; }
start_x() {  # SIZE
  Xvfb "$DISPLAY" -screen 0 "$1" -nolisten tcp -noreset >/dev/null 2>&1 &
  xvfb_pid=$!; pids+=($xvfb_pid)
  until_true 20 x_answers || fail "Xvfb did not start on $DISPLAY"
}
start_x 1280x720x24

mkdir -p "$work/app/data"
cp "$agent_src" "$work/app/"
agent="$work/app/$(basename "$agent_src")"
printf '{"autoDiscover": false}' > "$work/app/data/settings.json"
# No --allow-multi: the single-instance guard is part of what is tested.
VL_POWER_DRY_RUN=1 "$agent" --headless > "$work/agent.err" 2>&1 &
agent_pid=$!; pids+=($agent_pid)
wait_for "$log" "推流服务就绪" 20 || fail "the agent did not start"
"$pad" watch 127.0.0.1 --maxw 640 --seconds 120 > "$work/watch.out" 2>&1 &
pids+=($!)
wait_for "$work/watch.out" "frames " 10 || fail "no frames at first"
"$pad" input 127.0.0.1 move 0.5 0.5 >/dev/null 2>&1 || fail "input failed"
wait_for "$log" "反控输入: move" 10 || fail "input not received"

# The server dies.
kill -KILL "$xvfb_pid"; wait "$xvfb_pid" 2>/dev/null
wait_for "$log" "显示器已不可用" 10 || fail "the loss was not noticed"
out=$("$pad" sys 127.0.0.1 shutdown 2>&1) || fail "system control no longer answers: $out"
"$pad" input 127.0.0.1 click 0.5 0.5 >/dev/null 2>&1 || fail "input connection refused without a display"
sleep 1
[ "$(grep -c '显示器已不可用' "$log")" = 1 ] || fail "the loss was logged more than once"

# A new server on the same display name is picked up and frames flow again.
start_x 1024x768x24
wait_for "$log" "显示器配置已变化：1 个显示器，推流区域 → 显示器 1（1024x768 @ 0,0）" 15 || fail "the new server was not picked up"
out=$("$pad" watch 127.0.0.1 --maxw 3840 --count 3 --seconds 20 2>&1) || fail "watch: $out"
grep -q "done: 3 frames.*1024x768" <<<"$out" || fail "no 1024x768 frames from the new server: $out"
"$pad" input 127.0.0.1 move 1 1 >/dev/null 2>&1 || fail "input failed"
until_true 5 bash -c "xdotool getmouselocation 2>/dev/null | grep -q 'x:1023 y:767 '" ||
  fail "input did not reach the new server: $(xdotool getmouselocation 2>&1)"

# Gone again, then SIGTERM: a prompt, clean exit with the settings saved.
kill -KILL "$xvfb_pid"; wait "$xvfb_pid" 2>/dev/null
until_true 10 bash -c "[ \"\$(grep -c '显示器已不可用' '$log')\" = 2 ]" || fail "the second loss was not noticed"
# No input now: the input connection stays as the server left it, the case
# that used to hang the exit in XCloseDisplay.
rm -f "$work/app/data/settings.json"
start=$(date +%s%N)
kill -TERM "$agent_pid"
until_true 10 bash -c "! kill -0 $agent_pid 2>/dev/null" || fail "the agent did not end after SIGTERM"
wait "$agent_pid"; rc=$?
echo "figure: SIGTERM to exit with the X server gone: $(( ($(date +%s%N) - start) / 1000000 )) ms"
[ "$rc" = 0 ] || fail "exit code $rc"
[ -f "$work/app/data/settings.json" ] || fail "settings not saved"

# The guard is free: a new start serves the echo port.
VL_POWER_DRY_RUN=1 "$agent" --headless > "$work/agent2.err" 2>&1 &
agent_pid=$!; pids+=($agent_pid)
out=""
until_true 10 bash -c "'$pad' watch 127.0.0.1 --seconds 1 2>&1 | grep -q subscribed" ||
  fail "the next start does not serve the echo port: $(cat "$work/agent2.err")"
kill -TERM "$agent_pid"; wait "$agent_pid"; rc=$?
[ "$rc" = 0 ] || fail "second agent exit code $rc"
echo "PASS"
