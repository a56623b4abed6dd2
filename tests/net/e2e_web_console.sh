#!/usr/bin/env bash
# End to end: `velmora-pad hub --web` in headless Chromium, with a real
# agent on its own X server, all inside a private network namespace.
#
#   e2e_web_console.sh PAD AGENT
#
# Exit 77 (skipped, with the reason) when no namespace can be made or the
# browser cannot start here.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e.sh"
e2e_enter_netns "$0" "$@"

pad=$(realpath "$1")
agent_src=$(realpath "$2")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
pids=()
fail() {
  echo "FAIL: $*"
  echo "---- hub"; cat "$work/hub.out" 2>/dev/null
  echo "---- agent log"; tail -30 "$work"/app/data/logs/agent.log 2>/dev/null
  exit 1
}
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

python=/usr/bin/python3
for tool in Xvfb xdotool xsetroot chromium chromedriver; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
"$python" -c 'import selenium' 2>/dev/null || { echo "SKIP: python3-selenium is not installed"; exit 77; }

ip link set lo up || fail "no loopback"
# A second, non-loopback address for the token check.
ip link add vlweb0 type veth peer name vlweb1 && ip addr add 10.232.0.1/24 dev vlweb0 &&
  ip link set vlweb0 up && ip link set vlweb1 up || { echo "SKIP: no veth pair"; exit 77; }

fifo="$work/xfifo"; mkfifo "$fifo"
Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp -noreset 5>"$fifo" >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 display < "$fifo" || fail "Xvfb did not start"
export DISPLAY=":$display"

"$pad" hub --name "大厅中控" --web 127.0.0.1:24680 --web-store "$work/store.txt" \
  < /dev/null > "$work/hub.out" 2>&1 &
pids+=($!)
"$pad" hub --no-discovery --port 24790 --web 10.232.0.1:24681 --web-token e2eToken42 --web-store "$work/store2.txt" \
  < /dev/null > "$work/hub2.out" 2>&1 &
pids+=($!)
wait_for "$work/hub.out" "web console on http://127.0.0.1:24680/" 10 || fail "the web console did not start"
wait_for "$work/hub2.out" "web console on http://10.232.0.1:24681/?token=e2eToken42" 10 || fail "second console did not start"

mkdir -p "$work/app"
cp "$agent_src" "$work/app/"
VL_POWER_DRY_RUN=1 "$work/app/$(basename "$agent_src")" --headless --allow-multi --hub 127.0.0.1 \
  > "$work/agent.err" 2>&1 &
pids+=($!)
wait_for "$work/hub.out" "hello" 30 || fail "the agent never linked to the hub"

"$python" "$here/e2e_web_console.py" --base http://127.0.0.1:24680/ \
  --guarded http://10.232.0.1:24681/ --token e2eToken42 --screen 1280x800 --profile "$work/chrome"
rc=$?
[ "$rc" = 0 ] || { [ "$rc" = 77 ] && exit 77; fail "browser checks failed"; }
wait_for "$work/app/data/logs/agent.log" "演练模式，未执行" 5 || fail "the acknowledged restart did not run as a dry run"
echo "PASS"
