#!/usr/bin/env bash
# End to end: SIGHUP (a closed terminal, the end of the desktop session)
# ends the Linux agent in order, with the settings saved and exit code 0;
# under nohup the agent keeps running.
#
#   e2e_sighup.sh AGENT
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e.sh"
# Discovery broadcasts stay in a private network namespace (77: skipped).
e2e_enter_netns "$0" "$@"
ip link set lo up

agent_src=$(realpath "$1")
work=$(mktemp -d)
pids=()
fail() { echo "FAIL: $*"; for d in "$work"/*/; do echo "---- $d"; tail -20 "$d/data/logs/agent.log" 2>/dev/null; done; exit 1; }
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

start_agent() {  # DIR [nohup]: a copy of the agent of its own; sets agent_pid
  mkdir -p "$work/$1"
  cp "$agent_src" "$work/$1/"
  local run=("$work/$1/$(basename "$agent_src")" --headless --allow-multi --hub 10.9.9.9)
  [ "${2:-}" = nohup ] && run=(nohup "${run[@]}")
  VL_POWER_DRY_RUN=1 "${run[@]}" >"$work/$1.err" 2>&1 &
  agent_pid=$!
  pids+=("$agent_pid")
  wait_for "$work/$1/data/logs/agent.log" "无界面运行" 20 || fail "$1 did not start"
}

start_agent hup
hup_pid=$agent_pid
start_agent kept nohup
kept_pid=$agent_pid
sleep 1  # past the first ticks and their save
rm -f "$work/hup/data/settings.json"

kill -HUP "$hup_pid" "$kept_pid"
until_true 10 bash -c "! kill -0 $hup_pid 2>/dev/null" || fail "SIGHUP did not end the agent"
wait "$hup_pid"; rc=$?
[ "$rc" = 0 ] || fail "exit code $rc after SIGHUP"
grep -qF "正在退出…" "$work/hup/data/logs/agent.log" || fail "no orderly stop"
grep -q '"hubIp": "10.9.9.9"' "$work/hup/data/settings.json" 2>/dev/null || fail "settings not saved at SIGHUP"

sleep 0.5
kill -0 "$kept_pid" 2>/dev/null || fail "the agent under nohup ended at SIGHUP"
kill -TERM "$kept_pid"
wait "$kept_pid"; rc=$?
[ "$rc" = 0 ] || fail "exit code $rc after SIGTERM under nohup"
echo PASS
