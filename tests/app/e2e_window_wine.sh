#!/usr/bin/env bash
# End to end: the Windows agent's window under Wine on a private X server
# (D3D11 through wined3d on Mesa), driven with xdotool and checked from
# screenshots, agent.log, a stand-in Pad and a viewer.
#
#   e2e_window_wine.sh AGENT_EXE PROBE PAD WINE_PREFIX_SOURCE SHOT_DIR
#
# PROBE is the Linux x11_probe, PAD the Linux velmora-pad. Runs in a private
# network namespace with its own wineserver (Wine's sockets live there):
# ticking "自动发现" starts discovery broadcasts. Exit code 77: skipped.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e.sh"
# Exit code 77: skipped (no way to keep the broadcasts private here).
e2e_enter_netns "$0" "$@"
command -v Xvfb >/dev/null && command -v xdotool >/dev/null || { echo "SKIP: Xvfb or xdotool missing"; exit 77; }
[ -x "$2" ] && [ -x "$3" ] || { echo "SKIP: the Linux x11_probe/velmora-pad are not built"; exit 77; }

agent_src=$(realpath "$1"); probe=$(realpath "$2"); pad=$(realpath "$3"); prefix_src=$4; shots=$5
work=$(mktemp -d)
pids=()
log="$work/app/data/logs/agent.log"
settings="$work/app/data/settings.json"
fail() {
  echo "FAIL: $* (script lines ${BASH_LINENO[*]})"; "$probe" shot "$shots/windows-failure.png" 2>/dev/null
  echo "---- agent log"; tail -30 "$log" 2>/dev/null
  echo "---- agent output"; tail -40 "$work/agent.err" 2>/dev/null; exit 1
}
cleanup() {
  exec 3>&- 2>/dev/null
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wineserver -k >/dev/null 2>&1
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
ip link set lo up || fail "no loopback"

start_xvfb() {  # extra Xvfb options...
  local fifo="$work/xfifo.$RANDOM"; mkfifo "$fifo"
  Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp -noreset "$@" 5>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!; pids+=($xvfb_pid)
  read -r -t 20 display < "$fifo" || fail "Xvfb did not start"
  export DISPLAY=":$display"
}
start_xvfb
mkdir -p "$work/app/fonts" "$shots"
cp "$agent_src" "$work/app/"
# The Chinese font a Windows machine has in its Fonts folder, shipped next
# to the program the way a deployment can.
ln -s /usr/share/fonts/truetype/wqy/wqy-microhei.ttc "$work/app/fonts/wqy-microhei.ttc"
agent="$work/app/$(basename "$agent_src")"

# warn+heap: Wine fills freed heap blocks, so memory used after it was freed
# (at exit, say) faults every time rather than now and then.
export WINEPREFIX="$(dirname "$agent_src")/e2e-window-wine-prefix" WINEDEBUG=warn+heap WINEDLLOVERRIDES="mscoree,mshtml="
export VL_POWER_DRY_RUN=1
if [ ! -f "$WINEPREFIX/.vl-ready" ]; then
  rm -rf "$WINEPREFIX"
  if [ -f "$prefix_src/.vl-ready" ]; then cp -a "$prefix_src" "$WINEPREFIX"
  else /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1; wineserver -w; touch "$WINEPREFIX/.vl-ready"; fi
fi
wineserver -p >/dev/null 2>&1

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
panel_gone() { local n; n=$("$probe" count 12161C 2>/dev/null) && [ "${n:-0}" -lt 1000 ]; }
# CPU of the whole Wine process of the agent (its threads), % of one core.
tck=$(getconf CLK_TCK)
agent_unix_pid() { pgrep -n -f "velmora-agent.exe" -P "$agent_pid" 2>/dev/null || echo "$agent_pid"; }
cpu_percent() {  # PID SECONDS
  local a b; a=$(awk '{print $14+$15}' "/proc/$1/stat"); sleep "$2"; b=$(awk '{print $14+$15}' "/proc/$1/stat")
  echo $(( (b - a) * 100 / (tck * $2) ))
}
# The two buttons at the bottom of the left column, scrolled into view.
find_button() {  # tray|exit
  xdotool mousemove 300 450; xdotool click --repeat 25 --delay 20 5; xdotool mousemove 1279 799; sleep 0.5
  "$probe" find buttons | grep "$1"
}
click() { xdotool mousemove "$1" "$2"; sleep 0.1; xdotool click 1; sleep 0.3; xdotool mousemove 1279 799; }
start_agent() {
  ready_before=$(grep -c "界面就绪" "$log" 2>/dev/null || true); ready_before=${ready_before:-0}
  /usr/lib/wine/wine64 "$agent" "$@" > "$work/agent.err" 2>&1 &
  agent_pid=$!; pids+=($agent_pid)
  until_true 30 eval '[ "$(grep -c "界面就绪" "$log" 2>/dev/null)" -gt "$ready_before" ]' || fail "no 界面就绪 line"
}
stop_agent_checked() {
  until_true 15 ended || fail "the agent did not end"
  wait "$agent_pid"; local rc=$?
  [ "$rc" = 0 ] || fail "exit code $rc"
  ! grep -m 3 ":heap:" "$work/agent.err" || fail "heap warnings (a bad free, say)"
}
window_id() { xdotool search --name "^Velmora 被控端\$" 2>/dev/null | head -n 1; }
# Presses Return on a message box titled $1 (not the window $2): without a
# window manager the keyboard goes where the pointer is.
dismiss_box() {
  local w
  for w in $(xdotool search --name "^$1\$" 2>/dev/null); do
    [ "$w" = "${2:-}" ] && continue
    eval "$(xdotool getwindowgeometry --shell "$w")"
    xdotool mousemove $(( X + WIDTH / 2 )) $(( Y + HEIGHT / 3 )); sleep 0.2; xdotool key Return; sleep 0.2
    xdotool mousemove 1279 799
    return 0
  done
  return 1
}
# A second start: shows the running window, says so in a box, exits 0.
second_start() {
  /usr/lib/wine/wine64 "$agent" > "$work/second.err" 2>&1 &
  local second=$!
  until_true 10 panel_drawn || fail "a second start did not bring back a drawn window"
  until_true 10 dismiss_box "Velmora 被控端" "$wid" || fail "no already-running box"
  until_true 10 eval '! kill -0 $second 2>/dev/null' || fail "the second start did not end"
  wait "$second" || fail "the second start's exit code"
}

# A stand-in Pad on 127.0.0.1 only.
mkfifo "$work/hubin"
# Its name has traditional characters the atlas lacks: one rebuild between
# frames takes them in and the device objects are made again.
"$pad" hub --name "展覽廳中控" --no-discovery --bind 127.0.0.1 --ip 127.0.0.1 < "$work/hubin" > "$work/hub.out" 2>&1 &
pids+=($!)
exec 3>"$work/hubin"

# --- Shown: the panel, its background, a screenshot, a click, typing ---
: > "$work/app/data.keep" 2>/dev/null
start_agent --hub 127.0.0.9
until_true 10 panel_drawn || fail "panel background #12161C not on screen"
"$probe" shot "$shots/windows-panel.png" || fail "screenshot"
read -r _ cx cy < <("$probe" find padrow | grep autodiscover) || fail "Pad row not found"
read -r _ ix iy < <("$probe" find padrow | grep hubip)
read -r _ kx ky < <("$probe" find padrow | grep connect)
click "$cx" "$cy"
wait_for "$settings" '"autoDiscover": true' 2 || fail "the 自动发现 click did not reach the settings"
click "$cx" "$cy"
wait_for "$settings" '"autoDiscover": false' 2 || fail "the second 自动发现 click did not reach the settings"
# Each xdotool key is a press and release within one pump pass.
# Without a window manager the keyboard follows the pointer: it stays put.
xdotool mousemove "$ix" "$iy"; sleep 0.1; xdotool click 1; sleep 0.3
xdotool key --delay 0 End; xdotool key --delay 0 BackSpace; sleep 0.2; xdotool type --delay 50 1; sleep 0.3
click "$kx" "$ky"
wait_for "$work/hub.out" "hello #1" 10 || fail "typing 127.0.0.1 and 连接 did not link: $(grep hubIp "$settings")"
wait_for "$log" "Pad 端握手完成: 展覽廳中控" 5 || fail "no welcome handled"
wait_for "$log" "字体图集新增" 10 || fail "the Pad's name did not reach the font atlas"
until_true 5 panel_drawn || fail "panel not drawn after the atlas rebuild"
uproc=$(agent_unix_pid)
shown_cpu=$(cpu_percent "$uproc" 3)

# --- "立即最小化到托盘": drawing stops, a viewer keeps receiving frames ---
read -r _ tx ty < <(find_button tray) || fail "立即最小化到托盘 not found"
click "$tx" "$ty"
until_true 5 panel_gone || fail "window still drawn after 立即最小化到托盘"
"$pad" watch 127.0.0.1 --fps 10 --count 10 --seconds 15 > "$work/watch-hidden.out" 2>&1 ||
  fail "viewer failed while hidden: $(tail -n 2 "$work/watch-hidden.out")"
grep -q "done: 10 frames" "$work/watch-hidden.out" || fail "frames stopped while hidden: $(tail -n 1 "$work/watch-hidden.out")"
hidden_cpu=$(cpu_percent "$uproc" 3)
echo "CPU under Wine: shown ${shown_cpu}%, hidden ${hidden_cpu}%"
grep -m1 -o "字体图集.*" "$log" || true  # size and build time, for the record
[ $(( hidden_cpu * 3 )) -lt "$shown_cpu" ] || fail "CPU did not drop: shown $shown_cpu%, hidden $hidden_cpu%"

# After a hide the close button hides again; a second start finds the
# window by its class, shows it, and it is drawn (not left blank).
wid=$(window_id)
[ -n "$wid" ] || fail "no window titled Velmora 被控端"
second_start
"$probe" close "$(window_id)"  # WM_DELETE_WINDOW, as a window manager sends
until_true 5 panel_gone || fail "close after a hide did not hide"
ended && fail "close after a hide ended the program"
# taskkill posts WM_CLOSE; with the window hidden to the tray that hides
# it again, so the test ends this run through the panel's exit instead.
second_start
read -r _ ex ey < <(find_button exit) || fail "退出程序 not found"
click "$ex" "$ey"
stop_agent_checked
grep -qF '"hubIp": "127.0.0.1"' "$settings" || fail "settings not saved at exit"

# --- The stall self-test: frames flow while the UI thread sleeps ---
VL_AGENT_STALL_MS=3000 start_agent
# A first viewer opens the capture (on a busy machine Wine takes seconds to
# refuse desktop duplication); it stays open for the viewer of the stall.
"$pad" watch 127.0.0.1 --fps 10 --count 1 --seconds 10 > "$work/watch-warm.out" 2>&1 ||
  fail "no frame before the stall: $(tail -n 1 "$work/watch-warm.out")"
wait_for "$log" "【自检】界面线程阻塞 3000 ms" 12 || fail "no self-test line"
grep -qF "【自检】界面线程恢复" "$log" && fail "the stall was over before the viewer came"
"$pad" watch 127.0.0.1 --fps 10 --count 15 --seconds 2.5 > "$work/watch-stall.out" 2>&1
wait_for "$log" "【自检】界面线程恢复" 5 || fail "no recovery line"
frames=$(sed -n 's/^done: \([0-9]*\) frames.*/\1/p' "$work/watch-stall.out")
[ "${frames:-0}" -ge 5 ] || fail "frames stopped during the UI stall: $(tail -n 1 "$work/watch-stall.out")"
grep -qF "【自检】界面线程恢复" <(sed -n '/界面线程阻塞/,$p' "$log") || fail "lines out of order"
until_true 8 hb_paused || fail "heartbeats did not pause: $(grep "^hb" "$work/hub.out" | tr '\n' ' ')"
/usr/lib/wine/wine64 "C:\\windows\\system32\\taskkill.exe" /PID "$(grep -o 'PID [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)" >/dev/null 2>&1
stop_agent_checked

# --- --tray --min never shows the window ---
start_agent --tray --min
wait_for "$log" "按设置直接进入托盘常驻（推流已启动，界面不显示）" 1 || fail "no tray start line"
sleep 2; panel_gone || fail "--tray --min showed the window"
wid=$(window_id)
second_start  # shows it, so the exit button can end it
read -r _ ex ey < <(find_button exit) || fail "退出程序 not found"
click "$ex" "$ey"
stop_agent_checked

# --- No Direct3D device (an X server without GLX): the box, then exit 1 ---
kill "$xvfb_pid"; wineserver -k >/dev/null 2>&1; sleep 0.5
start_xvfb -extension GLX
wineserver -p >/dev/null 2>&1
/usr/lib/wine/wine64 "$agent" --allow-multi > "$work/fail.err" 2>&1 &
agent_pid=$!; pids+=($agent_pid)
until_true 30 eval '[ -n "$(xdotool search --name "^Velmora\$" 2>/dev/null)" ]' || fail "no message box"
sleep 0.5; "$probe" shot "$shots/windows-device-failure.png"
ended && fail "the box did not keep the program waiting"
dismiss_box "Velmora"
until_true 10 ended || fail "the program did not end after the box"
wait "$agent_pid"; rc=$?
[ "$rc" = 1 ] || fail "device failure: exit code $rc"
grep -qF "创建窗口失败。" "$log" || fail "no ERROR line"
echo "PASS"
