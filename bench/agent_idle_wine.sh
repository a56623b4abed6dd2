#!/usr/bin/env bash
# agent_idle_wine.sh EXE [SECONDS]: the Windows agent headless and idle under
# Wine: CPU (user + system ticks) and voluntary context switches a second
# over all threads of its process. Run inside the test Wine environment:
#   scripts/lib/with-wine.sh build/wine-prefix bench/agent_idle_wine.sh build/windows/velmora-agent.exe
# Wine's own threads wake too: compare builds, not with Windows.
set -uo pipefail
exe=${1:?usage: agent_idle_wine.sh EXE [SECONDS]}
seconds=${2:-10}
work=$(mktemp -d)
cp "$exe" "$work/velmora-agent.exe"
(cd "$work" && VL_POWER_DRY_RUN=1 exec wine ./velmora-agent.exe --headless --allow-multi >/dev/null 2>&1) &
sleep 12  # Wine's start and the agent's first probes
pid=$(pgrep -f "$work/velmora-agent.exe" | head -n 1)
pid=${pid:-$(pgrep -f "velmora-agent.exe --headless" -n)}
[ -n "$pid" ] || { echo "the agent did not start" >&2; rm -rf "$work"; exit 1; }
switches() { local t=0 n f; for f in /proc/"$pid"/task/*/status; do n=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$f"); t=$((t + n)); done; echo "$t"; }
ticks() { awk '{print $14 + $15}' /proc/"$pid"/stat; }
s0=$(switches); c0=$(ticks)
sleep "$seconds"
s1=$(switches); c1=$(ticks)
awk -v s=$((s1 - s0)) -v c=$((c1 - c0)) -v t="$seconds" -v hz="$(getconf CLK_TCK)" -v e="$exe" \
  'BEGIN {printf "%s under Wine, idle %d s: %.2f%% of a core, %.0f wake-ups/s\n", e, t, c / hz / t * 100, s / t}'
(cd "$work" && wine ./velmora-agent.exe --quit >/dev/null 2>&1) || kill "$pid" 2>/dev/null
sleep 2
rm -rf "$work"
