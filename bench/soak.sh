#!/usr/bin/env bash
# Soak and load on this machine, nothing leaves it:
#   bench/soak.sh [BUILD_DIR] [SECONDS] [soak.py options...]
# Starts, inside a private network namespace, its own Xvfb with an animated
# screen, `velmora-pad hub` as the Pad and the built agent (headless,
# VL_POWER_DRY_RUN=1, a 640x360 region), then bench/soak.py against it.
# Default 600 s. Figures go to standard output; docs/reliability.md keeps them.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/tests/support/e2e.sh"
e2e_enter_netns "$0" "$@"
build=$(realpath "${1:-$root/build/linux}")
seconds=${2:-600}
shift 2 2>/dev/null || shift $#
ip link set lo up
work=$(mktemp -d)
pids=()
pulse_env=(env -u PULSE_SERVER HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config")
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  "${pulse_env[@]}" pulseaudio --kill >/dev/null 2>&1
  wait 2>/dev/null; rm -rf "$work"
}
trap cleanup EXIT

fifo="$work/xfifo"; mkfifo "$fifo"
Xvfb -displayfd 5 -screen 0 1280x720x24 -nolisten tcp -noreset 5>"$fifo" >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 display < "$fifo" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"
"$build/bench/echo_stream_bench" animate >/dev/null 2>&1 &
pids+=($!)

# Volume commands need a sound server: a private one with a null sink.
mkdir -p "$work/home" "$work/run"; chmod 700 "$work/run"
export PULSE_COOKIE="$work/client-cookie"
"${pulse_env[@]}" pulseaudio --start --exit-idle-time=-1 -n --log-level=error \
  --load=module-native-protocol-unix --load="module-null-sink sink_name=soak" &&
  export PULSE_SERVER="unix:$work/run/pulse/native" || echo "no PulseAudio: volume commands will fail" >&2

"$build/velmora-pad" hub --no-discovery --seconds $((seconds + 60)) > "$work/hub.out" 2>&1 < /dev/null &
pids+=($!)
mkdir -p "$work/app"
cp "$build/velmora-agent" "$work/app/"
VL_POWER_DRY_RUN=1 "$work/app/velmora-agent" --headless --allow-multi --hub 127.0.0.1 \
  --region 0,0,640,360 > "$work/agent.err" 2>&1 &
agent=$!
pids+=($agent)
wait_for "$work/app/data/logs/agent.log" "推流服务就绪" 20 || { echo "agent did not start" >&2; cat "$work/agent.err"; exit 1; }

python3 "$root/bench/soak.py" --pid "$agent" --log-dir "$work/app/data/logs" --seconds "$seconds" "$@"
status=$?
echo "== agent.log: lines by kind"
cat "$work"/app/data/logs/agent*.log | sed -E 's/^[^]]*\] *//; s/[0-9]+/N/g' | cut -c1-60 | sort | uniq -c | sort -rn | head -25
kill -0 "$agent" 2>/dev/null || { echo "the agent ended:"; tail -5 "$work/agent.err"; status=1; }
exit $status
