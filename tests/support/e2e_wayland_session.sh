#!/usr/bin/env bash
# The headless Wayland harness itself, on one compositor: the scratch user's
# session comes up with two outputs, the test client shows its window
# fullscreen on the output asked for at that output's size, ends on SIGTERM,
# and wl_end leaves no process of the scratch user and no files behind.
#
#   e2e_wayland_session.sh sway|mutter WL_TEST_CLIENT
set -uo pipefail

here=$(dirname "${BASH_SOURCE[0]}")
source "$here/wayland_session.sh"
compositor=$1
wl_need "$compositor"
fail() { echo "FAIL: $*"; echo "---- client log"; cat "$WL_WORK/client.log" 2>/dev/null; exit 1; }

wl_begin || fail "no session bus"
case "$compositor" in
  sway) wl_start_sway 2 || fail "sway did not start"; second="1280x720" ;;
  mutter) wl_start_mutter 1280x720 1024x768 || fail "mutter did not start"; second="1024x768" ;;
esac
cp "$2" "$WL_WORK/wl_test_client"; wl_own "$WL_WORK/wl_test_client"
log="$WL_WORK/client.log"

wl_spawn "$WL_WORK/wl_test_client" --log "$log" --color 00ff00 --output 1
client=$WL_LAST_PID
wait_shown() { grep -q "^shown ${second%x*} ${second#*x}\$" "$log" 2>/dev/null; }
_wl_until 15 wait_shown || fail "the client was not shown at $second on the second output"
grep -q "^output 0 [^ ]* 0 0 1280x720\$" "$log" || fail "first output not at 0,0 1280x720"
grep -q "^output 1 [^ ]* 1280 0 $second\$" "$log" || fail "second output not right of the first at $second"

if [ "$compositor" = sway ]; then
  # The window sits fullscreen on the second output.
  tree=$(wl_run swaymsg -t get_tree -r)
  echo "$tree" | tr -d ' \n' | grep -q '"name":"HEADLESS-2".*"fullscreen_mode":1,.*"app_id":"velmora-wl-test-client"' ||
    fail "the client is not fullscreen on HEADLESS-2"
fi

wl_stop "$client"; rc=$?
[ "$rc" = 0 ] || fail "the client ended with $rc on SIGTERM"
tail -1 "$log" | grep -qx end || fail "the client did not log its end"

uid=$WL_UID root=$WL_ROOT
wl_end
[ ! -e "$root" ] || fail "$root left behind"
if [ "$(id -u)" = 0 ]; then
  # (dbus-run-session does not reap the bus it ends: a zombie may linger)
  running() { ps -o stat= -u "$uid" | grep -qv '^Z'; }
  _wl_until 5 eval '! running' || { ps -o pid,stat,cmd -u "$uid"; fail "processes of the scratch user left"; }
fi
echo "PASS: $compositor"
