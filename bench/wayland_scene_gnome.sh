#!/usr/bin/env bash
# What streaming costs on a Wayland desktop: the agent on headless mutter
# (one 1920x1080 virtual monitor, PipeWire, WirePlumber) as an unprivileged
# user, one viewer at 25 fps, 1600 wide, quality 62 (the X11 scene bench's
# settings), while the test client shows a still screen or full motion. Reports the CPU time (user + system) of the agent, of mutter and
# of PipeWire with WirePlumber as % of one core, and the frames the viewer
# got.
#
#   wayland_scene_gnome.sh BUILD_DIR [SECONDS]
#
# Runs inside a private network namespace; everything is stopped by PID.
set -uo pipefail
build=$(realpath "${1:?usage: wayland_scene_gnome.sh BUILD_DIR [SECONDS]}")
seconds=${2:-10}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/tests/support/e2e.sh"
e2e_enter_netns "$0" "$@"
source "$root/tests/support/wayland_session.sh"
wl_need mutter
ip link set lo up
for p in velmora-agent velmora-pad tests/wl_test_client; do
  [ -x "$build/$p" ] || { echo "build $p first" >&2; exit 2; }
done

wl_begin || exit 1
wl_start_mutter 1920x1080 || exit 1
app="$WL_WORK/app"
mkdir -p "$app/data"
cp "$build/velmora-agent" "$build/velmora-pad" "$build/tests/wl_test_client" "$app/"
printf '{"autoDiscover": false, "monitor": 0, "regionMode": 0}' > "$app/data/settings.json"
wl_own "$app"
pipewire_pid=${WL_PIDS[0]} wireplumber_pid=${WL_PIDS[1]} mutter_pid=${WL_PIDS[2]}

ticks() {  # PID...: user + system clock ticks, all threads
  local sum=0 p
  for p in "$@"; do
    set -- $(sed 's/^.*) //' "/proc/$p/stat")
    sum=$(( sum + ${12} + ${13} ))
  done
  echo "$sum"
}
hz=$(getconf CLK_TCK)

wl_spawn env VL_POWER_DRY_RUN=1 "$app/velmora-agent" --headless --allow-multi > "$WL_WORK/agent.err" 2>&1
agent_pid=$WL_LAST_PID
wait_for "$app/data/logs/agent.log" "推流服务就绪" 20 || { echo "the agent did not start"; exit 1; }
grep -q "桌面后端：GNOME（mutter）" "$app/data/logs/agent.log" || { echo "the GNOME back end was not chosen"; exit 1; }

echo "GNOME (mutter 43 headless, 1920x1080), one viewer at 25 fps, 1600 wide, quality 62, ${seconds} s each;"
echo "CPU is process time (user + system) as % of one core."
for scene in still motion; do
  motion=(); [ "$scene" = motion ] && motion=(--motion)
  wl_spawn "$app/wl_test_client" --log "$WL_WORK/scene.$scene" --color 2060c0 "${motion[@]}"
  scene_pid=$WL_LAST_PID scene_start=$(date +%s.%N)
  sleep 1
  wl_spawn "$app/velmora-pad" watch 127.0.0.1 --fps 25 --maxw 1600 --quality 62 --seconds $(( seconds + 3 )) \
    > "$WL_WORK/watch.$scene" 2>&1
  watch_pid=$WL_LAST_PID
  sleep 2
  a0=$(ticks "$agent_pid") m0=$(ticks "$mutter_pid") p0=$(ticks "$pipewire_pid" "$wireplumber_pid")
  t0=$(date +%s.%N)
  sleep "$seconds"
  a1=$(ticks "$agent_pid") m1=$(ticks "$mutter_pid") p1=$(ticks "$pipewire_pid" "$wireplumber_pid")
  t1=$(date +%s.%N)
  wl_stop "$watch_pid"
  wl_stop "$scene_pid"
  painted=$(grep -c "^shown" "$WL_WORK/scene.$scene") scene_end=$(date +%s.%N)
  frames=$(grep -o 'fps [0-9.]*  KB/frame [0-9.]*' "$WL_WORK/watch.$scene" | tail -1)
  awk -v s="$scene" -v a=$(( a1 - a0 )) -v m=$(( m1 - m0 )) -v p=$(( p1 - p0 )) -v hz="$hz" -v t0="$t0" -v t1="$t1" \
      -v f="$frames" -v n="$painted" -v s0="$scene_start" -v s1="$scene_end" 'BEGIN { w = t1 - t0; printf "%-7s agent %6.2f%%  mutter %6.2f%%  pipewire+wireplumber %5.2f%%  viewer: %s\n",
                              s, a / hz / w * 100, m / hz / w * 100, p / hz / w * 100, f
                              if (s == "motion") printf "        the scene painted about %.1f pictures a second\n", n / (s1 - s0) }'
  echo "        agent: $(grep "性能" "$app/data/logs/agent.log" | tail -1 | sed 's/^.*性能: //')"
done
wl_stop "$agent_pid"
# VL_BENCH_LOG=1: the agent's own timing lines too.
[ -n "${VL_BENCH_LOG:-}" ] && grep "性能\|抓屏\|WARN\|ERROR" "$app/data/logs/agent.log"
exit 0
