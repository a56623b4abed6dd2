#!/usr/bin/env bash
# End to end on Linux: the desktop changes under a watched agent. The screen
# shrinks and grows (a mode change), a monitor goes and comes back, a custom
# region meets a smaller desktop; the viewer's frames and the pointer follow.
#
#   e2e_display_change.sh AGENT PAD
#
# Inside a private network namespace (discovery stays there) with an Xvfb of
# its own, started at its largest size.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e.sh"
e2e_enter_netns "$0" "$@"
command -v xrandr >/dev/null && command -v xdotool >/dev/null || { echo "SKIP: xrandr or xdotool missing"; exit 77; }

agent_src=$(realpath "$1")
pad=$(realpath "$2")
work=$(mktemp -d)
pids=()
fail() { echo "FAIL: $*"; echo "---- agent log"; tail -40 "$log" 2>/dev/null; cat "$work/watch.out" 2>/dev/null; exit 1; }
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
ip link set lo up || fail "no loopback"

fifo="$work/xfifo"; mkfifo "$fifo"
Xvfb -displayfd 5 -screen 0 1920x1080x24 -nolisten tcp -noreset 5>"$fifo" >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 display < "$fifo" || fail "Xvfb did not start"
export DISPLAY=":$display"
xrandr --newmode 1280x720 74.25 1280 1390 1430 1650 720 725 730 750 && xrandr --addmode screen 1280x720 ||
  { echo "SKIP: this X server cannot switch modes"; exit 77; }

mkdir -p "$work/app/data"
cp "$agent_src" "$work/app/"
agent="$work/app/$(basename "$agent_src")"
log="$work/app/data/logs/agent.log"
agent_pid=""
watch_pid=""

# start_agent MONITOR [ARGS...]: settings with that monitor, then the agent
# and a viewer that keeps every frame.
start_agent() {
  printf '{"autoDiscover": false, "monitor": %s, "regionMode": 0}' "$1" > "$work/app/data/settings.json"
  shift
  rm -f "$log"; rm -rf "$work/frames"; mkdir -p "$work/frames"
  VL_POWER_DRY_RUN=1 "$agent" --headless --allow-multi "$@" > "$work/agent.err" 2>&1 &
  agent_pid=$!; pids+=($agent_pid)
  wait_for "$log" "推流服务就绪" 20 || fail "the agent did not start"
  "$pad" watch 127.0.0.1 --fps 10 --maxw 3840 --seconds 120 --out "$work/frames" > "$work/watch.out" 2>&1 &
  watch_pid=$!; pids+=($watch_pid)
}

stop_agent() {
  kill "$watch_pid" 2>/dev/null
  kill -TERM "$agent_pid"
  wait "$agent_pid"; local rc=$?
  [ "$rc" = 0 ] || fail "agent exit code $rc"
}

# Sizes of JPEG files, one line each; with --after NS SIZE: milliseconds from
# NS (epoch nanoseconds) to the first of the files of that size written later.
py=/usr/bin/python3; [ -x "$py" ] || py=python3
cat > "$work/sizes.py" <<'PY'
import os, struct, sys
def size(path):
    data = open(path, 'rb').read(); i = 2
    while i + 9 < len(data):
        marker, length = data[i + 1], struct.unpack('>H', data[i + 2:i + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2):
            h, w = struct.unpack('>HH', data[i + 5:i + 9]); return f"{w}x{h}"
        i += 2 + length
args = sys.argv[1:]
if args and args[0] == '--after':
    start, want = int(args[1]), args[2]
    for p in args[3:]:
        t = os.stat(p).st_mtime_ns
        if t > start and size(p) == want: print((t - start) // 1000000); break
else:
    for p in args: print(size(p))
PY
have_frames() { [ -n "$(ls "$work/frames")" ]; }
last_frame_is() { local f; f=$(ls "$work/frames" | tail -n 1); [ -n "$f" ] && [ "$("$py" "$work/sizes.py" "$work/frames/$f")" = "$1" ]; }
# Sizes of the saved frames in arrival order, repeats folded.
frame_sizes() { (cd "$work/frames" && "$py" "$work/sizes.py" $(ls)) | uniq | tr '\n' ' ' | sed 's/ $//'; }

# change TEXT-IN-LOG SIZE COMMAND...: runs the change, waits for the agent's
# line and for a frame of the new size, prints how long each took.
change() {
  local line=$1 size=$2; shift 2
  local start; start=$(date +%s%N)
  "$@" || fail "$* failed"
  wait_for "$log" "$line" 10 || fail "no line \"$line\""
  local noticed; noticed=$(date +%s%N)
  until_true 10 last_frame_is "$size" || fail "no $size frame after: $*"
  local shown; shown=$(cd "$work/frames" && "$py" "$work/sizes.py" --after "$start" "$size" $(ls))
  echo "figure: $* -> logged after $(( (noticed - start) / 1000000 )) ms, first $size frame at the viewer after ${shown:-?} ms"
}

pointer_at() {  # U V X Y: the viewer's move lands at (X, Y)
  "$pad" input 127.0.0.1 move "$1" "$2" >/dev/null 2>&1 || fail "input failed"
  until_true 5 bash -c "xdotool getmouselocation | grep -q 'x:$3 y:$4 '" ||
    fail "move $1 $2 landed at $(xdotool getmouselocation), not ($3, $4)"
}

# 1. One monitor: shrink to 1280x720, grow back to 1920x1080.
start_agent 0
until_true 10 have_frames || fail "no frame"
pointer_at 1 1 1919 1079
change "显示器配置已变化：1 个显示器，推流区域 → 显示器 1（1280x720 @ 0,0）" 1280x720 \
  xrandr --output screen --mode 1280x720 --fb 1280x720
pointer_at 1 1 1279 719
change "显示器配置已变化：1 个显示器，推流区域 → 显示器 1（1920x1080 @ 0,0）" 1920x1080 \
  xrandr --output screen --mode 1920x1080 --fb 1920x1080
pointer_at 1 1 1919 1079
sizes=$(frame_sizes)
[ "$sizes" = "1920x1080 1280x720 1920x1080" ] || fail "frame sizes in order: $sizes"
[ "$(grep -c '显示器配置已变化' "$log")" = 2 ] || fail "not one line per change: $(grep '显示器配置已变化' "$log")"
stop_agent

# 2. Two monitors, the second chosen: it goes (the first is streamed) and comes back.
xrandr --setmonitor VL-LEFT 960/254x1080/286+0+0 screen || fail "setmonitor"
xrandr --setmonitor VL-RIGHT 960/254x1080/286+960+0 none || fail "setmonitor"
start_agent 1
until_true 10 have_frames || fail "no frame"
pointer_at 1 1 1919 1079
change "显示器配置已变化：1 个显示器，推流区域 → 显示器 1（960x1080 @ 0,0），所选显示器 2 不在，暂用显示器 1" 960x1080 \
  xrandr --delmonitor VL-RIGHT
pointer_at 1 1 960 1079  # one past the edge, as on Windows: the next monitor's first column
change "显示器配置已变化：2 个显示器，推流区域 → 显示器 2（960x1080 @ 960,0）" 960x1080 \
  xrandr --setmonitor VL-RIGHT 960/254x1080/286+960+0 none
pointer_at 1 1 1919 1079
[ "$(grep -c '显示器配置已变化' "$log")" = 2 ] || fail "not one line per change: $(grep '显示器配置已变化' "$log")"
stop_agent
grep -q '"monitor": 1' "$work/app/data/settings.json" || fail "the chosen monitor was not kept: $(cat "$work/app/data/settings.json")"
xrandr --delmonitor VL-LEFT; xrandr --delmonitor VL-RIGHT

# 3. A custom region near the bottom-right corner, the desktop shrinks under it.
start_agent 0 --region 1200,500,600,400
until_true 10 have_frames || fail "no frame"
change "显示器配置已变化：1 个显示器，推流区域 → 自定义 600x400 @ (680,320)" 600x400 \
  xrandr --output screen --mode 1280x720 --fb 1280x720
pointer_at 0 0 680 320
pointer_at 1 1 1279 719
stop_agent
echo "PASS"
