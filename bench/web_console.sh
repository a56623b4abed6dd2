#!/usr/bin/env bash
# Web console benchmark: `velmora-pad hub --web` with 64 simulated agents
# (vl_sim_agents) and one real agent on its own X server, one page open in
# headless Chromium; all inside a private network namespace. Prints the
# hub's CPU and memory with thumbnails at 2 fps, the thumbnails' age on the
# page, and click-to-screen latency on loopback.
#
#   bench/web_console.sh [BUILD_DIR] [SIM_COUNT] [SECONDS]
#
# With SHOTS=docs/screenshots it takes the screenshots of docs/console.md into DIR
# instead (the real agent then shows its window).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/tests/support/e2e.sh"
e2e_enter_netns "$0" "$@"

build=$(realpath "${1:-$root/build/linux}")
count=${2:-64}
seconds=${3:-30}
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

ip link set lo up
ip link add vlwb0 type veth peer name vlwb1 && ip addr add 10.233.0.1/24 brd + dev vlwb0 &&
  ip link set vlwb0 up && ip link set vlwb1 up

fifo="$work/xfifo"; mkfifo "$fifo"
Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp -noreset 5>"$fifo" >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 display < "$fifo" || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$display"

"$build/velmora-pad" hub --web 127.0.0.1:24680 --web-store "$work/store.txt" < /dev/null > "$work/hub.out" 2>&1 &
hub=$!
pids+=($hub)
wait_for "$work/hub.out" "web console on" 10 || { cat "$work/hub.out"; exit 1; }
mkdir -p "$work/app"; cp "$build/velmora-agent" "$work/app/"
# The real agent finds the hub by broadcast, like in a hall.
agent_mode=(--headless)
if [ -n "${SHOTS:-}" ]; then agent_mode=(); xsetroot -solid "#2b4a6b"; fi
VL_POWER_DRY_RUN=1 "$work/app/velmora-agent" "${agent_mode[@]}" --allow-multi > /dev/null 2>&1 &
pids+=($!)
until_true 30 grep -q "hello" "$work/hub.out"
"$build/bench/vl_sim_agents" --count "$count" > "$work/sim.out" 2>&1 &
pids+=($!)
until_true 30 test "$(grep -c hello "$work/hub.out")" -gt "$count"
sleep 1
head -2 "$work/sim.out"
echo "hub: $(head -1 "$work/hub.out")"
/usr/bin/python3 "$root/bench/web_console.py" --base http://127.0.0.1:24680/ --hub-pid "$hub" \
  --cards $((count + 1)) --seconds "$seconds" --profile "$work/chrome" ${SHOTS:+--shots "$(realpath "$SHOTS")"}
