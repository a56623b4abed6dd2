#!/usr/bin/env bash
# End to end: the built agent, started as a user would, with `velmora-pad hub`
# as the Pad, watched, operated and controlled by velmora-pad.
#
#   e2e_agent.sh AGENT PAD [WINE_PREFIX_SOURCE]
#
# AGENT is velmora-agent or velmora-agent.exe (then run under Wine), PAD the
# Linux velmora-pad. Everything runs inside a private network namespace
# (the agent's discovery broadcasts never leave it) with its own X server
# and, for the .exe, its own wineserver: Wine creates sockets in the
# wineserver, so it must live in the namespace too.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e.sh"
# Exit code 77: skipped (no way to keep the broadcasts private here).
e2e_enter_netns "$0" "$@"

agent_src=$(realpath "$1")
pad=$(realpath "$2")
prefix_src=${3:-}
work=$(mktemp -d)
pids=()
fail() { echo "FAIL: $*"; echo "---- agent log"; cat "$work"/app/data/logs/agent.log 2>/dev/null | tail -40; echo "---- hub"; cat "$work/hub.out"; exit 1; }
cleanup() {
  exec 3>&- 2>/dev/null
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A network with a broadcast address: lo plus a veth pair.
ip link set lo up || fail "no loopback"
ip link add vle2e0 type veth peer name vle2e1 && ip addr add 10.231.0.1/24 brd + dev vle2e0 &&
  ip link set vle2e0 up && ip link set vle2e1 up || { echo "SKIP: no veth pair"; exit 77; }

fifo="$work/xfifo"; mkfifo "$fifo"
Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp -noreset 5>"$fifo" >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 display < "$fifo" || fail "Xvfb did not start"
export DISPLAY=":$display"

mkdir -p "$work/app"
cp "$agent_src" "$work/app/"
agent="$work/app/$(basename "$agent_src")"
run_agent=("$agent")
if [[ "$agent" == *.exe ]]; then
  # A prefix of our own (a copy of the suite's), so its wineserver is ours.
  export WINEPREFIX="$(dirname "$agent_src")/e2e-wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/.vl-ready" ]; then
    rm -rf "$WINEPREFIX"
    if [ -n "$prefix_src" ] && [ -f "$prefix_src/.vl-ready" ]; then cp -a "$prefix_src" "$WINEPREFIX"
    else /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1; wineserver -w; touch "$WINEPREFIX/.vl-ready"; fi
  fi
  wineserver -p >/dev/null 2>&1
  run_agent=(/usr/lib/wine/wine64 "$agent")
fi

mkfifo "$work/hubin"
"$pad" hub --name "大厅中控" < "$work/hubin" > "$work/hub.out" 2>&1 &
pids+=($!)
exec 3>"$work/hubin"

VL_POWER_DRY_RUN=1 "${run_agent[@]}" --headless --allow-multi --region 100,100,400,300 > "$work/agent.err" 2>&1 &
agent_pid=$!
pids+=($agent_pid)
log="$work/app/data/logs/agent.log"


wait_for "$work/hub.out" "hello" 30 || fail "the agent never registered with the hub"
wait_for "$log" "Pad 端握手完成: 大厅中控" 10 || fail "no welcome handled"

echo "cfg quality=40 maxw=320 fps=10 on=1" >&3
wait_for "$log" "Pad 端下发推流参数：质量 40 / 宽 320 / 帧率 10 / 开播" 10 || fail "echo.cfg not applied"
out=$("$pad" watch 127.0.0.1 --count 3 --seconds 20 2>&1) || fail "watch: $out"
grep -q "done: 3 frames.*320x240" <<<"$out" || fail "watch did not get 320x240 frames: $out"

out=$("$pad" sys 127.0.0.1 shutdown 2>&1) || fail "sys shutdown not acknowledged: $out"
out=$("$pad" sys 127.0.0.1 volup 2>&1) || true

"$pad" input 127.0.0.1 move 0.5 0.5 >/dev/null 2>&1 || fail "input failed"
if command -v xdotool >/dev/null; then
  sleep 0.5
  pos=$(xdotool getmouselocation 2>/dev/null)
  grep -q "x:300 y:250" <<<"$pos" || fail "pointer not in the captured region's centre: $pos"
fi

echo "kick 重复登录" >&3
wait_for "$log" "断开 Pad 端：被 Pad 端断开: 重复登录" 10 || fail "kick not handled"

# An orderly end saves the settings.
rm -f "$work/app/data/settings.json"
if [[ "$agent" == *.exe ]]; then
  winpid=$(sed -n 's/.*已启动：.*（PID \([0-9]*\)）.*/\1/p' "$log" | head -n 1)
  [ -n "$winpid" ] || fail "no Windows pid for the agent"
  /usr/lib/wine/wine64 taskkill /PID "$winpid" >/dev/null 2>&1 || fail "taskkill failed"
else
  kill -TERM "$agent_pid"
fi
for _ in $(seq 1 100); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$agent_pid" 2>/dev/null && fail "the agent did not end"
wait "$agent_pid"; rc=$?
[ "$rc" = 0 ] || fail "exit code $rc"
grep -q '"autoDiscover": true' "$work/app/data/settings.json" 2>/dev/null || fail "settings.json not written at exit"
grep -q '"hubIp": "10.231.0.1"' "$work/app/data/settings.json" || fail "discovered Pad not saved"
grep -qF "系统控制" "$log" || fail "no system-control lines"
grep -qF "演练模式，未执行" "$log" || fail "the acknowledged shutdown did not run (dry run)"
echo "PASS"
