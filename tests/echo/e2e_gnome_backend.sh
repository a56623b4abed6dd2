#!/usr/bin/env bash
# End to end on GNOME: the agent on headless mutter (two virtual monitors,
# PipeWire, WirePlumber) as an unprivileged user in a private session bus,
# Wayland only. Two test clients paint the monitors red and blue; the agent
# streams the second monitor to `velmora-pad watch`, `velmora-pad input`
# moves, clicks, scrolls and types into the client there, the second monitor
# then moves below the first and the stream follows it, mutter ends and
# comes back and the agent streams again, and SIGTERM ends the agent cleanly.
#
#   e2e_gnome_backend.sh AGENT PAD WL_TEST_CLIENT JPEG_PROBE
set -uo pipefail
SECONDS=0

here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../support/e2e.sh"
e2e_enter_netns "$0" "$@"
source "$here/../support/wayland_session.sh"
wl_need mutter gdbus

app=""
fail() {
  echo "FAIL after ${SECONDS}s: $*"
  echo "---- agent log"; grep -v "反控输入\|客户端" "$app/data/logs/agent.log" 2>/dev/null | tail -25
  echo "---- agent stderr"; tail -10 "$WL_WORK/agent.err" 2>/dev/null
  echo "---- client log (second monitor)"; tail -20 "$WL_WORK/right.log" 2>/dev/null
  echo "---- mutter log"; grep -v '^$' "$WL_ROOT/mutter.log" 2>/dev/null | tail -10
  exit 1
}
ip link set lo up || fail "no loopback"

wl_begin || fail "no session bus"
wl_start_mutter 1280x720 1024x768 || fail "mutter did not start"
app="$WL_WORK/app"
mkdir -p "$app/data"
cp "$1" "$2" "$3" "$4" "$app/"
agent="$app/$(basename "$1")" pad="$app/$(basename "$2")"
client="$app/$(basename "$3")" probe="$app/$(basename "$4")"
printf '{"autoDiscover": false, "monitor": 1, "regionMode": 0, "maxW": 3840}' > "$app/data/settings.json"
wl_own "$app"
log="$app/data/logs/agent.log"
left="$WL_WORK/left.log" right="$WL_WORK/right.log"

wl_spawn "$client" --log "$left" --color ff0000 --output 0
wl_spawn "$client" --log "$right" --color 0000ff --output 1
until_true 15 grep -qs "^shown 1280 720$" "$left" || fail "no client on the first monitor"
until_true 15 grep -qs "^shown 1024 768$" "$right" || fail "no client on the second monitor"

wl_spawn env VL_POWER_DRY_RUN=1 "$agent" --headless --allow-multi > "$WL_WORK/agent.err" 2>&1
agent_pid=$WL_LAST_PID
wait_for "$log" "推流服务就绪" 20 || fail "the agent did not start"
grep -q "桌面后端：GNOME（mutter）" "$log" || fail "the GNOME back end was not chosen"
grep -q "显示器 2（1024x768 @ 1280,0）" "$log" || fail "the second monitor is not where mutter puts it"

# watch_colour WxH R G B: a new viewer's frame has that size and, at its
# centre, about that colour.
watch_colour() {
  local dir="$WL_WORK/frames.$RANDOM"
  mkdir -p "$dir"; wl_own "$dir"
  wl_run "$pad" watch 127.0.0.1 --count 1 --seconds 20 --maxw 3840 --out "$dir" > "$WL_WORK/watch.out" 2>&1 ||
    { cat "$WL_WORK/watch.out"; return 1; }
  local last; last=$(ls "$dir"/*.jpg | tail -1)
  read -r w h r g b < <("$probe" "$last" 0.5 0.5) || return 1
  echo "frame ${w}x${h} centre $r $g $b"
  echo "${w}x${h}" > "$WL_WORK/size"
  [ "${w}x${h}" = "$1" ] || return 1
  local d
  for d in "$(( r - $2 ))" "$(( g - $3 ))" "$(( b - $4 ))"; do [ "${d#-}" -le 24 ] || return 1; done
}
watch_colour 1024x768 0 0 255 || fail "the second monitor did not stream blue at 1024x768"

# Input lands where the picture shows it: the second monitor's client.
input() { wl_run "$pad" input 127.0.0.1 "$@" > /dev/null 2>&1 || fail "input $*"; }
input move 0.5 0.25
until_true 5 grep -Eq "^(pointer enter|motion) 512.00 192.00$" "$right" || fail "the pointer did not reach (512, 192) on the second monitor"
input click 0.75 0.5
until_true 5 grep -q "^button 272 released$" "$right" || fail "no left click"
grep -q "^motion 768.00 384.00$" "$right" || fail "the click was not at (768, 384)"
input click 0.5 0.5 --btn 1
until_true 5 grep -q "^button 273 released$" "$right" || fail "no right click"
input wheel 0.5 0.5 -2
wheel_down() { [ "$(grep -c "^axis_discrete vertical 1$" "$right")" = 2 ]; }
until_true 5 wheel_down || fail "the wheel did not turn two notches toward the user"
input wheel 0.5 0.5 1
until_true 5 grep -q "^axis_discrete vertical -1$" "$right" || fail "the wheel did not turn away from the user"
input text "Hi!"
until_true 5 grep -q "^text !$" "$right" || fail "the text did not arrive"
grep -A100 "^keyboard enter" "$right" | grep "^text" | tr -d '\n' | grep -q "^text Htext itext !$" ||
  fail "the text arrived as $(grep '^text' "$right" | tr '\n' ' ')"
input key 0x25
input key 0x25 --up
until_true 5 grep -q "^key Left released$" "$right" || fail "the Left key did not arrive"

# The second monitor moves below the first (mutter 43 headless cannot drop a
# virtual monitor without ending): the stream follows it.
state() {
  wl_run gdbus call --session --dest org.gnome.Mutter.DisplayConfig --object-path /org/gnome/Mutter/DisplayConfig \
    --method org.gnome.Mutter.DisplayConfig.GetCurrentState
}
serial=$(state | sed -n 's/^(uint32 \([0-9]*\),.*/\1/p')
mode0=$(state | grep -o "'1280x720@[0-9.]*'" | head -1) mode1=$(state | grep -o "'1024x768@[0-9.]*'" | head -1)
[ -n "$serial" ] && [ -n "$mode0" ] && [ -n "$mode1" ] || fail "no display configuration to change"
wl_run gdbus call --session --dest org.gnome.Mutter.DisplayConfig --object-path /org/gnome/Mutter/DisplayConfig \
  --method org.gnome.Mutter.DisplayConfig.ApplyMonitorsConfig "$serial" 1 \
  "[(0, 0, 1.0, 0, true, [('Meta-0', $mode0, @a{sv} {})]), (0, 720, 1.0, 0, false, [('Meta-1', $mode1, @a{sv} {})])]" \
  "@a{sv} {}" > /dev/null || fail "mutter did not take the new layout"
wait_for "$log" "显示器配置已变化：2 个显示器，推流区域 → 显示器 2（1024x768 @ 0,720）" 10 ||
  fail "the agent did not follow the monitor change"
# (mutter puts the fullscreen client back on the primary monitor, so only the
# size of the moved monitor's picture is known.)
moved() { watch_colour 1024x768 -1 -1 -1 >/dev/null; [ "$(cat "$WL_WORK/size")" = 1024x768 ]; }
for _ in 1 2 3 4 5; do moved && break; sleep 0.5; done
[ "$(cat "$WL_WORK/size")" = 1024x768 ] || fail "the moved monitor did not stream at 1024x768"

# mutter ends and comes back: the agent says so, builds new sessions and
# streams again.
mutter_pid=${WL_PIDS[2]}
[ "$(cat "/proc/$mutter_pid/comm" 2>/dev/null)" = mutter ] || fail "mutter is not where the harness started it"
kill -KILL "$mutter_pid"; wait "$mutter_pid" 2>/dev/null
wait_for "$log" "GNOME 远程桌面会话已中断：mutter 已退出" 10 || fail "the agent did not notice mutter ending"
wl_spawn mutter --headless --wayland --no-x11 --virtual-monitor 1280x720 --virtual-monitor 1024x768 \
  > "$WL_ROOT/mutter.log" 2>&1
_wl_until 20 _wl_has_name org.gnome.Mutter.ScreenCast || fail "mutter did not come back"
wait_for "$log" "GNOME 远程桌面会话已重新建立" 15 || fail "the agent did not build new sessions"
for _ in 1 2 3 4 5; do watch_colour 1024x768 -1 -1 -1 >/dev/null; [ "$(cat "$WL_WORK/size")" = 1024x768 ] && break; sleep 0.5; done
[ "$(cat "$WL_WORK/size")" = 1024x768 ] || fail "no picture after mutter came back"

wl_stop "$agent_pid"; rc=$?
[ "$rc" = 0 ] || fail "the agent ended with $rc on SIGTERM"
wait_for "$log" "设置已保存" 1 || fail "the agent did not stop in order"
echo "PASS"
