#!/usr/bin/env bash
# The Debian package, proven by installing it: metadata and file list, the
# autostart entry, then an install into a throw-away root where the
# installed program answers --version and, started by a user who cannot
# write /usr/bin, keeps its log under ~/.local/state. That user's running
# agent is ended in order by the maintainer scripts: by postinst when the
# package is upgraded (installed again), by prerm when it is removed.
# Exit code 77: skipped.
#
#   deb_test.sh AGENT PAD MAKE_APP_ICON VERSION
set -uo pipefail
command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null || { echo "SKIP: dpkg-deb/dpkg-shlibdeps missing"; exit 77; }
agent=$1 pad=$2 icon=$3 version=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
agent_pid=""
cleanup() { [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

deb=$("$here/../../packaging/debian/build-deb.sh" "$agent" "$pad" "$icon" "$version" "$work/out") || fail "build-deb.sh"
[ "$(basename "$deb")" = "velmora-agent_${version}_amd64.deb" ] || fail "package name $deb"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velmora-agent ] && [ "$(field Version)" = "$version" ] && [ "$(field Architecture)" = amd64 ] ||
  fail "control: $(dpkg-deb -f "$deb")"
depends=$(field Depends)
for d in libturbojpeg0 libglfw3 libgl1 libx11-6 libxtst6 libpulse0 libstb0 "fonts-wqy-microhei |"; do
  [[ "$depends" == *"$d"* ]] || fail "Depends lacks $d: $depends"
done

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for f in ./usr/bin/velmora-agent ./usr/bin/velmora-pad ./usr/share/applications/velmora-agent.desktop \
         ./etc/xdg/autostart/velmora-agent.desktop ./usr/share/doc/velmora-agent/copyright \
         ./usr/share/icons/hicolor/256x256/apps/velmora-agent.png; do
  grep -qxF "$f" <<<"$contents" || fail "missing $f"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/xdg/autostart/velmora-agent.desktop || fail "autostart entry is no conffile"

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "$deb" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg -i"; }
grep -qx 'Exec=velmora-agent --tray' "$root/etc/xdg/autostart/velmora-agent.desktop" || fail "autostart Exec line"
grep -q 'Dear ImGui' "$root/usr/share/doc/velmora-agent/copyright" || fail "copyright lacks the ImGui notice"
[ "$("$root/usr/bin/velmora-agent" --version)" = "velmora-agent $version" ] || fail "installed --version"
[[ "$("$root/usr/bin/velmora-pad" 2>&1)" == *watch* ]] || fail "installed velmora-pad has no usage"

# The data-directory rule for real: a user who cannot write the program's
# directory. Private network namespace, Pad address given (no discovery).
if command -v setpriv >/dev/null && [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  chmod 755 "$work"
  home=$work/home; mkdir -p "$home"; chown 65534:65534 "$home"
  start_agent() {
    env -i HOME="$home" VL_POWER_DRY_RUN=1 PATH=/usr/bin:/bin unshare -n \
      setpriv --reuid=65534 --regid=65534 --clear-groups \
      "$root/usr/bin/velmora-agent" --headless --hub 127.0.0.1 >/dev/null 2>&1 &
    agent_pid=$!
    for _ in $(seq 100); do [ "$(grep -c "版本 $version" "$log" 2>/dev/null)" -gt "$1" ] && break; sleep 0.1; done
    [ "$(grep -c "版本 $version" "$log" 2>/dev/null)" -gt "$1" ]
  }
  # Ended by a maintainer script: exit code 0 and the settings saved anew.
  check_ended() {
    local rc
    for _ in $(seq 50); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$agent_pid" 2>/dev/null && fail "$1 left the agent running: $(cat "$work/dpkg.log")"
    wait "$agent_pid"; rc=$?; agent_pid=""
    [ "$rc" = 0 ] || fail "$1: the agent ended with $rc"
    [ -f "$settings" ] || fail "$1: settings not saved beside the log"
    grep -q "ended the running agent of: nobody" "$work/dpkg.log" || fail "$1 did not say so: $(cat "$work/dpkg.log")"
  }
  log=$home/.local/state/velmora-agent/logs/agent.log
  settings=$home/.local/state/velmora-agent/settings.json
  start_agent 0 || fail "no log under ~/.local/state: $(ls -R "$home" 2>&1 | head)"
  [ ! -e "$root/usr/bin/data" ] || fail "wrote beside the installed program"
  rm -f "$settings"
  dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg -i (upgrade)"; }
  check_ended "the upgrade"
  grep -q "start it again" "$work/dpkg.log" || fail "the upgrade did not say how to start it again"

  start_agent 1 || fail "no second start"
  rm -f "$settings"
  dpkg --root="$root" --force-not-root --force-script-chrootless -r velmora-agent >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r"; }
  check_ended "the removal"
else
  echo "note: not root or no namespaces; the data-directory run and the scripts' quit path are left out"
  dpkg --root="$root" --force-not-root --force-script-chrootless -r velmora-agent >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r"; }
fi

[ ! -e "$root/usr/bin/velmora-agent" ] || fail "dpkg -r left the program"
echo "PASS: $(basename "$deb") $(stat -c %s "$deb") bytes"
