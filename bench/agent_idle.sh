#!/usr/bin/env bash
# agent_idle.sh AGENT [SECONDS] [AGENT...]: CPU and wake-ups of the whole
# headless agent with nobody connected (discovery on, no Pad to be found),
# on a private 1920x1080 Xvfb, inside a private network namespace (the
# probes stay in it). For each agent program: the CPU time of all its
# threads (schedstat, nanoseconds) as % of one core, and the voluntary
# context switches per second (each one a wake-up after a sleep), per thread
# and in all. Every process is stopped by PID. With VL_IDLE_TRAY=X11_PROBE
# (tests/app/x11_probe) a small system tray runs and the agent starts as it
# does at login, `--tray --min`: the window hidden behind the tray icon.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../tests/support/e2e.sh"
e2e_enter_netns "$0" "$@"
ip link set lo up

agents=("$1")
seconds=${2:-20}
shift 2 2>/dev/null && agents+=("$@")
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

fifo="$work/fifo"
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$fifo" >/dev/null 2>&1 &
pids+=($!)
display=""
read -r -t 20 display <"$fifo" || true
[ -n "$display" ] || { echo "could not start Xvfb" >&2; exit 1; }
export DISPLAY=":$display"

cpu_ns() { local t=0 n; for f in /proc/"$1"/task/*/schedstat; do read -r n _ <"$f" && t=$((t + n)); done; echo "$t"; }
switches() {  # PID: "tid:count ..." of voluntary switches
  for d in /proc/"$1"/task/*; do
    echo -n "$(basename "$d"):$(awk '/^voluntary_ctxt_switches/ {print $2}' "$d/status") "
  done
}

mode=(--headless)
ready="无界面运行"
if [ -n "${VL_IDLE_TRAY:-}" ]; then
  "$VL_IDLE_TRAY" tray >"$work/tray.out" 2>&1 &
  pids+=($!)
  wait_for "$work/tray.out" "tray 0x" 5 || { echo "the test tray did not start" >&2; exit 1; }
  mode=(--tray --min)
  ready="按设置直接进入托盘常驻"
fi

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
for agent in "${agents[@]}"; do
  dir="$work/$(basename "$(dirname "$(realpath "$agent")")")-$RANDOM"
  mkdir -p "$dir"
  cp "$agent" "$dir/velmora-agent"
  VL_POWER_DRY_RUN=1 "$dir/velmora-agent" "${mode[@]}" --allow-multi >"$dir/err" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_for "$dir/data/logs/agent.log" "$ready" 20 || { echo "$agent did not start"; continue; }
  sleep 3  # past the start-up work and the first probe
  c0=$(cpu_ns "$pid"); s0=$(switches "$pid"); t0=$(date +%s%N)
  sleep "$seconds"
  c1=$(cpu_ns "$pid"); s1=$(switches "$pid"); t1=$(date +%s%N)
  wall=$((t1 - t0))
  per_thread=""
  total=0
  for entry in $s1; do
    tid=${entry%%:*}; n1=${entry##*:}
    n0=0
    for e0 in $s0; do [ "${e0%%:*}" = "$tid" ] && n0=${e0##*:}; done
    d=$((n1 - n0)); total=$((total + d))
    per_thread+=" $(awk -v d="$d" -v w="$wall" 'BEGIN {printf "%.1f", d / (w / 1e9)}')"
  done
  awk -v c=$((c1 - c0)) -v w="$wall" -v n="$total" -v a="$agent" -v p="$per_thread" -v s="$seconds" \
    'BEGIN {printf "%s: idle %.0f s: %.3f%% of a core, %.1f wake-ups/s (per thread:%s)\n", a, s, c / w * 100, n / (w / 1e9), p}'
  kill -TERM "$pid"
  wait "$pid" 2>/dev/null
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
