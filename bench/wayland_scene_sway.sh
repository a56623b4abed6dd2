#!/usr/bin/env bash
# wayland_scene_sway.sh BUILD_DIR [SECONDS]: what streaming costs on a wlroots
# compositor. Headless sway with one 1920x1080 output, run by a scratch
# user; the agent (wlroots back end, 1600 wide, quality 62) with one viewer
# at 25 fps, while a fullscreen test client shows
#   still   one colour, nothing changes;
#   motion  a patterned picture sliding 3 pixels every 33 ms.
# Prints the CPU time (user + system, from /proc) of the agent and of sway
# over SECONDS (default 20) as % of one core, the viewer's frame rate and
# the agent's own line on the pictures it encoded. Take the load average
# into account: under contention the compositor answers late and fewer
# pictures are new.
# Inside a private network namespace, as the end-to-end tests.
set -uo pipefail
build=$(realpath "${1:?usage: wayland_scene_sway.sh BUILD_DIR [SECONDS]}")
seconds=${2:-20}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/tests/support/e2e.sh"
e2e_enter_netns "$0" "$@"
source "$root/tests/support/wayland_session.sh"
wl_need sway
ip link set lo up
for p in velmora-agent velmora-pad tests/wl_test_client; do
  [ -x "$build/$p" ] || { echo "build $p first" >&2; exit 2; }
done

wl_begin || exit 1
wl_start_sway 1 "output HEADLESS-1 mode 1920x1080" || exit 1
sway=$WL_LAST_PID
app="$WL_WORK/app"; mkdir -p "$app/data"
cp "$build/velmora-agent" "$app/"; cp "$build/tests/wl_test_client" "$WL_WORK/"
printf '{"autoDiscover": false, "monitor": 0, "regionMode": 0}' > "$app/data/settings.json"
wl_own "$WL_WORK"
tick=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

scene() {  # NAME CLIENT-ARGS...
  local name=$1; shift
  wl_spawn "$WL_WORK/wl_test_client" --log "$WL_WORK/client-$name.log" --color 2060c0 "$@"
  local client=$WL_LAST_PID
  wait_for "$WL_WORK/client-$name.log" "shown 1920 1080" 15 || { echo "the client was not shown" >&2; exit 1; }
  wl_spawn env VL_POWER_DRY_RUN=1 "$app/velmora-agent" --headless --allow-multi 2> /dev/null
  local agent=$WL_LAST_PID
  wait_for "$app/data/logs/agent.log" "推流服务就绪" 20 || { echo "the agent did not start" >&2; exit 1; }
  "$build/velmora-pad" watch 127.0.0.1 --fps 25 --seconds $(( seconds + 4 )) > "$WL_ROOT/watch-$name.out" 2>&1 &
  local watch=$!
  sleep 3
  local a0 s0 a1 s1 t0 t1
  local log="$WL_WORK/client-$name.log" shown0 shown1
  shown0=$(grep -c "^shown" "$log")
  a0=$(ticks "$agent"); s0=$(ticks "$sway"); t0=$(date +%s%N)
  sleep "$seconds"
  a1=$(ticks "$agent"); s1=$(ticks "$sway"); t1=$(date +%s%N)
  shown1=$(grep -c "^shown" "$log")
  wait "$watch"
  local wall; wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN{print (b - a) / 1e9}')
  printf '%-7s 1920x1080  agent CPU %6.2f%% of a core  sway CPU %6.2f%% of a core  viewer: %s\n' "$name" \
    "$(awk -v d=$(( a1 - a0 )) -v t="$tick" -v w="$wall" 'BEGIN{print d / t / w * 100}')" \
    "$(awk -v d=$(( s1 - s0 )) -v t="$tick" -v w="$wall" 'BEGIN{print d / t / w * 100}')" \
    "$(grep '^frames' "$WL_ROOT/watch-$name.out" | tail -n 1)"
  echo "        the client showed $(awk -v n=$(( shown1 - shown0 )) -v w="$wall" 'BEGIN{printf "%.1f", n / w}') new pictures a second"
  grep "性能" "$app/data/logs/agent.log" | tail -n 1 | sed 's/^.*性能/        agent: 性能/'
  wl_stop "$agent"; wl_stop "$client"
  rm -f "$app/data/logs/agent.log"
}

echo "CPU below is process CPU time (user + system), not wall time; one viewer at 25 fps, 1600 wide, quality 62."
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
scene still
scene motion --motion
