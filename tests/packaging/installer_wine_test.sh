#!/usr/bin/env bash
# The Windows installer, proven by installing it under Wine: silent install
# into a folder with a space, the files and the autostart value are there,
# the installed program starts (headless) and streams to velmora-pad. Then
# the field's cycle: the agent runs in the tray with options an administrator
# added to the autostart value, a rebuilt installer upgrades silently over
# it (the agent ended in order, started again with those options, the value
# kept), and the silent uninstaller, run while it runs, ends it, removes the
# program and keeps data\.
# Runs inside a private network namespace with its own X server and
# wineserver (Wine's sockets live in the wineserver). Exit code 77: skipped.
#
#   installer_wine_test.sh AGENT_EXE PAD_EXE LINUX_PAD VERSION WINE_PREFIX_SOURCE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e.sh"
command -v makensis >/dev/null && command -v zip >/dev/null || { echo "SKIP: makensis or zip missing"; exit 77; }
e2e_enter_netns "$0" "$@"

agent_exe=$(realpath "$1") pad_exe=$(realpath "$2") pad=$3 version=$4 prefix_src=$5
[ -x "$pad" ] || { echo "SKIP: no Linux velmora-pad at $pad"; exit 77; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
pids=()
wine=/usr/lib/wine/wine64
fail() { echo "FAIL: $*"; [ -n "${log:-}" ] && tail -20 "$log" 2>/dev/null; exit 1; }
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
ip link set lo up || fail "no loopback"

out=$("$here/../../packaging/windows/build-windows.sh" "$agent_exe" "$pad_exe" "$version" "$work/out" 2>"$work/nsis.log") ||
  { cat "$work/nsis.log"; fail "build-windows.sh"; }
setup=$work/out/velmora-agent-setup-$version.exe
[ -f "$setup" ] || fail "no installer: $out"
# The next release, for the upgrade: built while the first is tried out.
next_version=${version%.*}.$(( ${version##*.} + 1 ))
"$here/../../packaging/windows/build-windows.sh" "$agent_exe" "$pad_exe" "$next_version" "$work/next" >/dev/null 2>"$work/nsis-next.log" &
next_build=$!
next_setup=$work/next/velmora-agent-setup-$next_version.exe

fifo="$work/xfifo"; mkfifo "$fifo"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp -noreset 5>"$fifo" >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 display < "$fifo" || fail "Xvfb did not start"
export DISPLAY=":$display" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A prefix of our own, copied from the suite's, so its wineserver is ours
# and every run starts from a machine that never saw the program.
export WINEPREFIX=$work/prefix
if [ -f "$prefix_src/.vl-ready" ]; then cp -a "$prefix_src" "$WINEPREFIX"
else "$wine" wineboot -i >/dev/null 2>&1; wineserver -w; fi

dir='C:\vl test\Velmora Agent'
unix_dir="$WINEPREFIX/drive_c/vl test/Velmora Agent"
# NSIS takes /D= unquoted, spaces and all: Wine quotes an argument that
# holds a space, so the path goes in as words it joins with spaces.
read -ra dir_words <<<"/D=$dir"
"$wine" "$setup" /S "${dir_words[@]}" >/dev/null 2>&1 || fail "silent install failed ($?)"
for f in velmora-agent.exe velmora-pad.exe README.md THIRD-PARTY-LICENSES.txt uninstall.exe; do
  [ -f "$unix_dir/$f" ] || fail "not installed: $f ($(find "$WINEPREFIX/drive_c" -name velmora-agent.exe 2>&1))"
done
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
"$wine" reg query "$run_key" /v "Velmora Agent" 2>/dev/null | tr -d '\r' | grep -qF "\"$dir\\velmora-agent.exe\" --tray" ||
  fail "no autostart value: $("$wine" reg query "$run_key" 2>&1 | tr -d '\r')"

log="$unix_dir/data/logs/agent.log"
VL_POWER_DRY_RUN=1 "$wine" "$dir\\velmora-agent.exe" --headless --hub 127.0.0.1 >"$work/agent.out" 2>&1 &
headless_pid=$!; pids+=($headless_pid)
wait_for "$log" "推流服务就绪" 60 || fail "the installed program did not start"
got=$("$pad" watch 127.0.0.1 --count 1 --seconds 30 2>&1) || fail "watch: $got"
grep -q "done: 1 frames" <<<"$got" || fail "no frame from the installed program: $got"
winpid=$(sed -n 's/.*已启动：.*（PID \([0-9]*\)）.*/\1/p' "$log" | head -n 1)
"$wine" taskkill /PID "$winpid" >/dev/null 2>&1 || fail "taskkill"
until_true 20 test -f "$unix_dir/data/settings.json" || fail "no settings saved in data\\"
until_true 20 eval '! kill -0 $headless_pid 2>/dev/null' || fail "the headless run did not end"

# --- Upgrade over a running agent -------------------------------------
# An administrator's options in the autostart value; the agent started the
# way the value starts it at logon (windowed, hidden to the tray).
opts='--tray --no-power --hub 127.0.0.1'
"$wine" reg add "$run_key" /v "Velmora Agent" /d "\"$dir\\velmora-agent.exe\" $opts" /f >/dev/null 2>&1 || fail "reg add"
starts() { grep -c "被控端已启动" "$log" 2>/dev/null || true; }
# The log from the latest start on.
latest_run() { sed -n "$(grep -n "被控端已启动" "$log" | tail -n 1 | cut -d: -f1),\$p" "$log"; }
VL_POWER_DRY_RUN=1 "$wine" "$dir\\velmora-agent.exe" $opts >"$work/agent2.out" 2>&1 &
pids+=($!)
until_true 60 eval 'grep -q "按设置直接进入托盘常驻" <<<"$(latest_run)"' || fail "the agent did not start in the tray"
rm -f "$unix_dir/data/settings.json"  # only the orderly stop writes it again
before=$(starts)

wait "$next_build" || { cat "$work/nsis-next.log"; fail "build-windows.sh (next)"; }
setup_log() { find "$WINEPREFIX/drive_c/users" -name velmora-agent-setup.log -exec cat {} + 2>/dev/null; }
in_setup_log() { grep -qF -- "$1" <<<"$(setup_log)"; }
VL_POWER_DRY_RUN=1 "$wine" "$next_setup" /S "${dir_words[@]}" >/dev/null 2>&1 || fail "silent upgrade failed ($?): $(setup_log)"
in_setup_log "asking the running agent to end (--quit)" || fail "the upgrade did not ask the agent to end: $(setup_log)"
[ -f "$unix_dir/data/settings.json" ] || fail "the agent was not ended in order (no settings saved)"
in_setup_log "autostart kept" || fail "the autostart value was not kept: $(setup_log)"
in_setup_log "agent started: $opts" || fail "the agent was not started again with its options: $(setup_log)"
grep -qF "\"$dir\\velmora-agent.exe\" $opts" <<<"$("$wine" reg query "$run_key" /v "Velmora Agent" 2>/dev/null | tr -d '\r')" ||
  fail "the upgrade changed the autostart value: $("$wine" reg query "$run_key" 2>&1 | tr -d '\r')"
grep -qF "$next_version" <<<"$("$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmoraAgent' /v DisplayVersion 2>/dev/null)" || fail "the upgrade did not record $next_version"
until_true 60 eval '[ "$(starts)" -gt "$before" ]' || fail "the agent is not running again after the upgrade"
until_true 30 eval 'grep -q "按设置直接进入托盘常驻" <<<"$(latest_run)"' || fail "the restarted agent is not in the tray"
grep -qF "禁止远程关机/重启" <<<"$(latest_run)" || fail "the restarted agent lost --no-power"

# Once more with /NOAUTOSTART: the value goes, the agent still comes back
# with the options it had.
before=$(starts)
VL_POWER_DRY_RUN=1 "$wine" "$next_setup" /S /NOAUTOSTART "${dir_words[@]}" >/dev/null 2>&1 || fail "upgrade with /NOAUTOSTART failed ($?)"
"$wine" reg query "$run_key" /v "Velmora Agent" >/dev/null 2>&1 && fail "/NOAUTOSTART left the autostart value"
until_true 60 eval '[ "$(starts)" -gt "$before" ]' || fail "the agent is not running again after the second upgrade"
until_true 30 eval 'grep -q "按设置直接进入托盘常驻" <<<"$(latest_run)"' || fail "the agent is not in the tray after the second upgrade"
grep -qF "禁止远程关机/重启" <<<"$(latest_run)" || fail "the second upgrade lost --no-power"

# --- Uninstall while it runs --------------------------------------------
# Wine shows the Windows path in the command line: the process is seen...
pgrep -f "Velmora Agent.velmora-agent.exe" >/dev/null || fail "the running agent's process is not seen: $(pgrep -af velmora)"
# The uninstaller copies itself away and returns at once: wait for its work.
"$wine" "$dir\\uninstall.exe" /S >/dev/null 2>&1 || fail "silent uninstall failed ($?)"
until_true 60 test ! -e "$unix_dir/velmora-agent.exe" || fail "program still there after uninstall: $(setup_log)"
until_true 20 test ! -e "$unix_dir/uninstall.exe" || fail "uninstaller still there"
[ -f "$unix_dir/data/settings.json" ] && [ -f "$log" ] || fail "data\\ was not kept"
"$wine" reg query "$run_key" /v "Velmora Agent" >/dev/null 2>&1 && fail "autostart value left behind"
# ...and none is left.
until_true 10 eval '! pgrep -f "Velmora Agent.velmora-agent.exe" >/dev/null' || fail "an agent process is left: $(pgrep -af velmora-agent)"
echo "PASS (installer $(stat -c %s "$setup") bytes)"
