#!/usr/bin/env bash
# End to end: the Linux agent's window, tray and start/stop on a private X
# server, driven with xdotool and checked from screenshots and agent.log.
#
#   e2e_window_linux.sh AGENT PROBE SHOT_DIR PAD
#
# PROBE is x11_probe (screen grabs, widget finding, WM_DELETE_WINDOW and a
# small system tray). Runs in a private network namespace: ticking
# "自动发现" starts discovery broadcasts. Exit code 77: skipped.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e.sh"
# Exit code 77: skipped (no way to keep the broadcasts private here).
e2e_enter_netns "$0" "$@"
command -v Xvfb >/dev/null && command -v xdotool >/dev/null || { echo "SKIP: Xvfb or xdotool missing"; exit 77; }

agent_src=$(realpath "$1"); probe=$(realpath "$2"); shots=$3; pad=$(realpath "$4")
work=$(mktemp -d)
pids=()
log="$work/app/data/logs/agent.log"
settings="$work/app/data/settings.json"
fail() { echo "FAIL: $*"; echo "---- agent log"; tail -30 "$log" 2>/dev/null; cat "$work/agent.err" 2>/dev/null; exit 1; }
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
ip link set lo up || fail "no loopback"

fifo="$work/xfifo"; mkfifo "$fifo"
Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp -noreset 5>"$fifo" >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 display < "$fifo" || fail "Xvfb did not start"
export DISPLAY=":$display" XDG_RUNTIME_DIR="$work/run" VL_POWER_DRY_RUN=1
mkdir -p "$work/app" "$work/run" "$shots"
cp "$agent_src" "$work/app/"
agent="$work/app/$(basename "$agent_src")"
tck=$(getconf CLK_TCK)

mapped() { "$probe" mapped "$wid"; }
unmapped() { ! "$probe" mapped "$wid"; }
# The Pad link lives on the UI thread: its heartbeats pause. The hub prints
# "hb ID: N heartbeats, last ts=T" at most every 5 s; a window holding the
# stall spans far more than N seconds.
hb_paused() {
  awk '/^(hello|bye)/ { prev = 0 }
       /^hb .*heartbeat/ { n = $3; sub(/.*ts=/, ""); ts = $0 + 0
         if (prev && n > 0 && (ts - prev) / n >= 1400) found = 1; prev = ts }
       END { exit !found }' "$work/hub.out"
}
ended() { ! kill -0 "$agent_pid" 2>/dev/null; }
panel_drawn() { local n; n=$("$probe" count 12161C 2>/dev/null); [ "${n:-0}" -gt 200000 ]; }  # WindowBg over most of 1080×720
cpu_percent() {  # PID SECONDS: all threads, % of one core
  local a b; a=$(awk '{print $14+$15}' "/proc/$1/stat"); sleep "$2"; b=$(awk '{print $14+$15}' "/proc/$1/stat")
  echo $(( (b - a) * 100 / (tck * $2) ))
}
ui_wakeups() {  # PID SECONDS: the UI (main) thread's sleeps ended, per second
  local a b; a=$(awk '/^voluntary_ctxt_switches/ {print $2}' "/proc/$1/task/$1/status"); sleep "$2"
  b=$(awk '/^voluntary_ctxt_switches/ {print $2}' "/proc/$1/task/$1/status")
  echo $(( (b - a) / $2 ))
}
click() { xdotool mousemove "$1" "$2" click "${3:-1}"; sleep 0.3; xdotool mousemove 1279 0; }
start_agent() {
  ready_before=$(grep -c "界面就绪" "$log" 2>/dev/null || true); ready_before=${ready_before:-0}
  "$agent" --hub 127.0.0.1 "$@" > "$work/agent.err" 2>&1 &
  agent_pid=$!; pids+=($agent_pid)
  until_true 30 eval '[ "$(grep -c "界面就绪" "$log" 2>/dev/null)" -gt "$ready_before" ]' || fail "no 界面就绪 line"
  wid=""
  until_true 5 eval 'wid=$(xdotool search --class VelmoraAgentWnd 2>/dev/null | head -n 1); [ -n "$wid" ]' ||
    fail "no window of class VelmoraAgentWnd"
}
stop_agent_checked() {  # how it ended: code 0
  until_true 10 ended || fail "the agent did not end"
  wait "$agent_pid"; local rc=$?
  [ "$rc" = 0 ] || fail "exit code $rc"
}

"$probe" tray > "$work/tray.out" &
tray_pid=$!; pids+=($tray_pid)
wait_for "$work/tray.out" "tray 0x" 5 || fail "the test tray did not start"

# --- Shown: the panel, a click, keys, the CPU cost of drawing ---
start_agent
until_true 5 mapped || fail "window not shown"
xdotool mousemove 1279 0
until_true 5 panel_drawn || fail "panel background #12161C not on screen"
"$probe" shot "$shots/linux-panel.png" || fail "screenshot"
read -r _ cx cy < <("$probe" find padrow | grep autodiscover) || fail "Pad row not found"
read -r _ ix iy < <("$probe" find padrow | grep hubip)
read -r _ kx ky < <("$probe" find padrow | grep connect)
click "$cx" "$cy"
wait_for "$settings" '"autoDiscover": true' 2 || fail "the 自动发现 click did not reach the settings"
# Each xdotool key is a press and release within one pump pass.
xdotool mousemove "$ix" "$iy" click 1; sleep 0.3
xdotool key --delay 0 End BackSpace; xdotool type 2; sleep 0.3
click "$kx" "$ky"
wait_for "$settings" '"hubIp": "127.0.0.2"' 2 || fail "End/BackSpace lost: $(grep hubIp "$settings")"
shown_cpu=$(cpu_percent "$agent_pid" 3)

# --- "立即最小化到托盘": hidden behind the icon, drawing stops ---
xdotool mousemove 300 450 click --repeat 25 --delay 20 5; xdotool mousemove 1279 0; sleep 0.5
read -r _ tx ty < <("$probe" find buttons | grep tray) || fail "立即最小化到托盘 not found"
click "$tx" "$ty"
wait_for "$log" "托盘图标已添加（右下角常驻）" 3 || fail "no tray icon"
until_true 3 unmapped || fail "window still mapped after 立即最小化到托盘"
hidden_cpu=$(cpu_percent "$agent_pid" 3)
echo "CPU: shown ${shown_cpu}%, hidden ${hidden_cpu}%"
# Hidden, the UI thread sleeps until its sockets, timers or X events need it
# (a fixed 20 ms tick woke it 50 times a second).
hidden_wakeups=$(ui_wakeups "$agent_pid" 3)
echo "UI thread while hidden: $hidden_wakeups wake-ups a second"
[ "$hidden_wakeups" -lt 10 ] || fail "hidden, the UI thread woke $hidden_wakeups times a second"
grep -m1 -o "字体图集.*" "$log" || true  # size and build time, for the record
[ $(( hidden_cpu * 4 )) -lt "$shown_cpu" ] || fail "CPU did not drop: shown $shown_cpu%, hidden $hidden_cpu%"

read -r _ ax ay < <(grep docked "$work/tray.out" | tail -n 1) || fail "icon not docked"
click "$ax" "$ay"
until_true 3 mapped || fail "left click on the icon did not show the window"
until_true 3 panel_drawn || fail "window shown from the tray but not drawn"

# After a hide the close button hides again; a second start shows it drawn.
"$probe" close "$wid"
until_true 3 unmapped || fail "close after a hide did not hide"
ended && fail "close after a hide ended the program"
"$agent" --hub 127.0.0.1 > "$work/second.err" 2>&1; rc=$?
[ "$rc" = 0 ] && grep -qF "已经在运行了" "$work/second.err" || fail "second start: code $rc, $(cat "$work/second.err")"
until_true 3 mapped || fail "second start did not show the first window"
until_true 3 panel_drawn || fail "window shown by a second start stays blank"

# A restarted tray gets the icon again while hidden; the window stays hidden.
"$probe" close "$wid"; until_true 3 unmapped || fail "not hidden"
added=$(grep -c "托盘图标已添加" "$log")
kill -USR1 "$tray_pid"
until_true 5 eval '[ "$(grep -c "托盘图标已添加" "$log")" -gt "$added" ]' || fail "icon not re-added after a tray restart"
sleep 1.5; mapped && fail "window shown after a tray restart"

# The menu's "退出" ends the program in order.
read -r _ ax ay < <(grep docked "$work/tray.out" | tail -n 1)
xdotool mousemove "$ax" "$ay" click 3
menu=""; until_true 3 eval 'menu=$(xdotool search --class VelmoraAgentTrayMenu 2>/dev/null | head -n 1); [ -n "$menu" ]' ||
  fail "no tray menu"
sleep 0.3; "$probe" shot "$shots/linux-tray-menu.png"
eval "$(xdotool getwindowgeometry --shell "$menu")"
click $(( X + WIDTH / 2 )) $(( Y + HEIGHT - 12 ))
stop_agent_checked

# --- The close button before any hide ends the program ---
start_agent
until_true 5 mapped || fail "window not shown"
"$probe" close "$wid"
stop_agent_checked

# --- The stall self-test: frames flow, the Pad link's heartbeats pause ---
mkfifo "$work/hubin"
# A Pad named in traditional characters the atlas lacks: they are taken in
# by one rebuild between frames, and the panel keeps drawing.
"$pad" hub --no-discovery --bind 127.0.0.1 --ip 127.0.0.1 --name "展覽廳中控" < "$work/hubin" > "$work/hub.out" 2>&1 &
pids+=($!)
exec 3>"$work/hubin"
VL_AGENT_STALL_MS=3000 start_agent
wait_for "$work/hub.out" "hello" 5 || fail "no link to the stand-in Pad"
wait_for "$log" "字体图集新增" 10 || fail "the Pad's name did not reach the font atlas"
until_true 5 panel_drawn || fail "panel not drawn after the atlas rebuild"
wait_for "$log" "【自检】界面线程阻塞 3000 ms" 10 || fail "no self-test line"
"$pad" watch 127.0.0.1 --fps 10 --count 15 --seconds 2.5 > "$work/watch-stall.out" 2>&1
wait_for "$log" "【自检】界面线程恢复" 5 || fail "no recovery line"
frames=$(sed -n 's/^done: \([0-9]*\) frames.*/\1/p' "$work/watch-stall.out")
[ "${frames:-0}" -ge 5 ] || fail "frames stopped during the UI stall: $(tail -n 1 "$work/watch-stall.out")"
until_true 8 hb_paused || fail "heartbeats did not pause: $(grep "^hb" "$work/hub.out" | tr '\n' ' ')"
kill -TERM "$agent_pid"
stop_agent_checked

# --- --tray --min: never mapped; without a tray it comes back instead ---
start_agent --tray --min
wait_for "$log" "按设置直接进入托盘常驻（推流已启动，界面不显示）" 1 || fail "no tray start line"
sleep 1.5; mapped && fail "--tray --min mapped the window"
kill "$tray_pid"
wait_for "$log" "托盘图标添加失败（Shell_NotifyIcon 返回失败）" 5 || fail "no warning when the tray is gone"
until_true 5 mapped || fail "with no tray (and no window manager to minimise) the window stayed hidden"
until_true 3 panel_drawn || fail "window back without a tray but not drawn"
kill -TERM "$agent_pid"
stop_agent_checked
grep -qF '"trayOnStart"' "$settings" || fail "settings not saved at SIGTERM"

# --- No display: the start fails before the agent starts ---
DISPLAY= "$agent" --allow-multi --hub 127.0.0.1 > "$work/nodisplay.err" 2>&1; rc=$?
[ "$rc" = 1 ] && grep -qF "创建窗口失败。" "$work/nodisplay.err" || fail "no display: code $rc"
tail -n 1 "$log" | grep -qF "[ERROR] 创建窗口失败。" || fail "no ERROR line: $(tail -n 1 "$log")"
echo "PASS"
