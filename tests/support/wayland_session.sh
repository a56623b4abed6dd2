# A headless Wayland desktop for end-to-end tests (sourced): a scratch
# unprivileged user with its own HOME and XDG_RUNTIME_DIR, one private D-Bus
# session bus, and either sway with two headless outputs or mutter with
# virtual monitors plus PipeWire and WirePlumber. Everything started here is
# stopped by PID; nothing is looked up by name.
#
#   source "$(dirname "${BASH_SOURCE[0]}")/../support/wayland_session.sh"
#   wl_need sway                  # or: wl_need mutter (exit 77, skipped, when missing)
#   wl_begin                      # user, directories, the bus; trap wl_end EXIT
#   wl_start_sway                 # or: wl_start_mutter [WxH ...] (default 1280x720 1024x768)
#   wl_run CMD ARGS...            # as the user in the session, in the foreground
#   wl_spawn CMD ARGS...          # in the background; PID in WL_LAST_PID, stopped by wl_end
#   wl_stop PID                   # SIGTERM, then SIGKILL after 5 s; returns its exit status
#   wl_end                        # stops everything in reverse order, removes the directories
#
# Set after wl_begin: WL_UID, WL_GID, WL_WORK (a directory of the user's own
# for the test's files; `wl_own PATH` hands over files copied into it),
# WL_HOME, WL_RUNTIME, WL_BUS, WL_ROOT (holds them all and the compositors'
# logs, WL_ROOT/<program>.log; removed by wl_end). After a compositor starts: WL_DISPLAY (the
# socket's name), WL_COMPOSITOR (sway|mutter), WL_SWAYSOCK (sway).
# Commands see a clean environment: PATH, HOME, XDG_RUNTIME_DIR,
# DBUS_SESSION_BUS_ADDRESS, WAYLAND_DISPLAY, XDG_SESSION_TYPE=wayland,
# XDG_CURRENT_DESKTOP, LANG, plus any VL_*, *SAN_OPTIONS, LD_LIBRARY_PATH from
# the caller; add more with `wl_run env NAME=value CMD`.
#
# Run as root (CI), the user is a spare uid given a passwd entry only inside
# private mount namespaces (dbus-daemon refuses a uid it cannot look up), so
# the machine's own files are never changed. Run as anyone else, the user is
# the caller.

WL_SKIP=77
WL_PIDS=()
WL_UID="" WL_GID="" WL_ROOT="" WL_WORK="" WL_HOME="" WL_RUNTIME="" WL_BUS=""
WL_DISPLAY="" WL_SWAYSOCK="" WL_COMPOSITOR="" WL_LAST_PID=""
_wl_holder_pid="" _wl_session_pid="" _wl_desktop=""

wl_note() { echo "wayland_session: $*" >&2; }

# wl_need sway|mutter|PROGRAM...: skip the test when a program is missing.
wl_need() {
  local want=(dbus-run-session dbus-daemon dbus-send)
  local p
  for p in "$@"; do
    case "$p" in
      sway) want+=(sway swaymsg) ;;
      mutter) want+=(mutter pipewire wireplumber) ;;
      *) want+=("$p") ;;
    esac
  done
  [ "$(id -u)" = 0 ] && want+=(setpriv unshare mount)
  for p in "${want[@]}"; do
    command -v "$p" >/dev/null 2>&1 || { echo "SKIP: $p missing (needed for a headless Wayland session)"; exit "$WL_SKIP"; }
  done
}

_wl_pick_uid() {
  local n uid
  for n in $(seq 1 50); do
    uid=$(( 61000 + (RANDOM % 3000) ))
    getent passwd "$uid" >/dev/null && continue
    getent group "$uid" >/dev/null && continue
    [ -n "$(ps -o pid= -u "$uid" 2>/dev/null)" ] && continue
    echo "$uid"; return 0
  done
  return 1
}

# The command line that runs ARGS as the user with the session's environment.
_wl_as_user() {
  local envv=(env -i "PATH=/usr/local/bin:/usr/bin:/bin" "HOME=$WL_HOME" "XDG_RUNTIME_DIR=$WL_RUNTIME"
              "LANG=C.UTF-8" "XDG_SESSION_TYPE=wayland")
  [ -n "$WL_BUS" ] && envv+=("DBUS_SESSION_BUS_ADDRESS=$WL_BUS")
  [ -n "$WL_DISPLAY" ] && envv+=("WAYLAND_DISPLAY=$WL_DISPLAY")
  [ -n "$WL_SWAYSOCK" ] && envv+=("SWAYSOCK=$WL_SWAYSOCK")
  [ -n "$_wl_desktop" ] && envv+=("XDG_CURRENT_DESKTOP=$_wl_desktop")
  local v
  while IFS= read -r v; do
    case "$v" in VL_*|*SAN_OPTIONS|LD_LIBRARY_PATH) envv+=("$v=${!v}") ;; esac
  done < <(compgen -e)
  if [ "$(id -u)" = 0 ]; then
    # unshare without --fork execs in place: the PID stays the program's.
    _WL_CMD=(unshare -m sh -c 'mount --bind "$0/passwd" /etc/passwd && mount --bind "$0/group" /etc/group && shift && exec "$@"'
             "$WL_ROOT" -- setpriv "--reuid=$WL_UID" "--regid=$WL_GID" --clear-groups "${envv[@]}" "$@")
  else
    _WL_CMD=("${envv[@]}" "$@")
  fi
}

wl_run() { _wl_as_user "$@"; "${_WL_CMD[@]}"; }

wl_spawn() {
  _wl_as_user "$@"
  "${_WL_CMD[@]}" &
  WL_LAST_PID=$!
  WL_PIDS+=("$WL_LAST_PID")
}

# wl_own PATH...: hand files made by the caller to the user.
wl_own() { [ "$(id -u)" = 0 ] && chown -R "$WL_UID:$WL_GID" "$@"; return 0; }

wl_stop() {  # PID
  local pid=$1 i
  kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return $?; }
  kill -TERM "$pid" 2>/dev/null
  for i in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && { wl_note "PID $pid ignored SIGTERM, killing it"; kill -KILL "$pid" 2>/dev/null; }
  wait "$pid" 2>/dev/null
}

_wl_until() {  # SECONDS COMMAND...: true once COMMAND is
  local n=$(( $1 * 10 )) i; shift
  for i in $(seq 1 "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}

wl_begin() {
  if [ "$(id -u)" = 0 ]; then
    WL_UID=$(_wl_pick_uid) || { echo "SKIP: no spare uid for the scratch user"; exit "$WL_SKIP"; }
    WL_GID=$WL_UID
  else
    WL_UID=$(id -u); WL_GID=$(id -g)
  fi
  WL_ROOT=$(mktemp -d /tmp/vl-wl.XXXXXX) || return 1
  chmod 755 "$WL_ROOT"
  WL_HOME="$WL_ROOT/home"; WL_RUNTIME="$WL_ROOT/run"; WL_WORK="$WL_ROOT/work"
  mkdir -p "$WL_HOME" "$WL_RUNTIME" "$WL_WORK"
  chmod 700 "$WL_RUNTIME"
  if [ "$(id -u)" = 0 ]; then
    { cat /etc/passwd; echo "vlwl:x:$WL_UID:$WL_GID:Wayland test user:$WL_HOME:/bin/sh"; } > "$WL_ROOT/passwd"
    { cat /etc/group; echo "vlwl:x:$WL_GID:"; } > "$WL_ROOT/group"
    chown "$WL_UID:$WL_GID" "$WL_HOME" "$WL_RUNTIME" "$WL_WORK"
    unshare -m true 2>/dev/null || { echo "SKIP: no private mount namespace for the scratch user"; rm -rf "$WL_ROOT"; exit "$WL_SKIP"; }
  fi
  trap wl_end EXIT

  # The bus lives as long as this holder: it writes the bus address and its
  # own PID, then becomes `sleep`; ending that sleep ends dbus-run-session,
  # which ends the bus.
  _wl_as_user dbus-run-session -- sh -c 'echo "$DBUS_SESSION_BUS_ADDRESS" > "$0/bus.tmp" && mv "$0/bus.tmp" "$0/bus" && echo $$ > "$0/holder" && exec sleep 100000' "$WL_RUNTIME"
  "${_WL_CMD[@]}" > "$WL_ROOT/dbus.log" 2>&1 &
  _wl_session_pid=$!
  _wl_until 10 test -s "$WL_RUNTIME/holder" || { wl_note "no session bus"; cat "$WL_ROOT/dbus.log" >&2; return 1; }
  WL_BUS=$(cat "$WL_RUNTIME/bus"); _wl_holder_pid=$(cat "$WL_RUNTIME/holder")
}

_wl_socket() {  # the first wayland-N socket in the runtime directory
  local s
  for s in "$WL_RUNTIME"/wayland-*; do
    [ -S "$s" ] && { basename "$s"; return 0; }
  done
  return 1
}

_wl_has_name() {  # NAME: owned on the session bus
  wl_run dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

_wl_swaysock() {
  local s
  for s in "$WL_RUNTIME"/sway-ipc.*.sock; do
    [ -S "$s" ] && { echo "$s"; return 0; }
  done
  return 1
}

_wl_failed() {  # PROGRAM WHAT: says so, with the end of the program's log
  wl_note "$1 $2"
  tail -20 "$WL_ROOT/$1.log" >&2 2>/dev/null
}

_wl_sway_outputs() {  # COUNT: sway reports that many outputs
  [ "$(wl_run swaymsg -t get_outputs -r 2>/dev/null | grep -c '"name": "HEADLESS-')" -ge "$1" ]
}

# wl_start_sway [OUTPUTS] [EXTRA CONFIG LINE...]: sway on the headless
# backend with the pixman renderer, no input devices, no Xwayland.
wl_start_sway() {
  local outputs=${1:-2}; shift || true
  {
    echo "xwayland disable"
    echo "default_border none"
    echo "focus_follows_mouse no"
    local line; for line in "$@"; do echo "$line"; done
  } > "$WL_ROOT/sway.config"
  chmod 644 "$WL_ROOT/sway.config"
  _wl_desktop=sway
  wl_spawn env WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_HEADLESS_OUTPUTS="$outputs" sway -c "$WL_ROOT/sway.config" > "$WL_ROOT/sway.log" 2>&1
  local pid=$WL_LAST_PID
  _wl_until 15 _wl_socket >/dev/null || { _wl_failed sway "made no Wayland socket"; return 1; }
  WL_DISPLAY=$(_wl_socket)
  _wl_until 10 _wl_swaysock >/dev/null || { _wl_failed sway "made no IPC socket"; return 1; }
  WL_SWAYSOCK=$(_wl_swaysock)
  _wl_until 10 _wl_sway_outputs "$outputs" || { _wl_failed sway "did not report $outputs outputs"; return 1; }
  kill -0 "$pid" 2>/dev/null || { _wl_failed sway "ended"; return 1; }
  WL_COMPOSITOR=sway
}

# wl_start_mutter [WxH ...]: PipeWire, WirePlumber, then headless mutter with
# one virtual monitor per size; waits for the Wayland socket and for
# mutter's RemoteDesktop and ScreenCast names on the bus.
wl_start_mutter() {
  local sizes=("$@"); [ ${#sizes[@]} -gt 0 ] || sizes=(1280x720 1024x768)
  _wl_desktop=GNOME
  wl_spawn pipewire > "$WL_ROOT/pipewire.log" 2>&1
  _wl_until 10 test -S "$WL_RUNTIME/pipewire-0" || { _wl_failed pipewire "made no socket"; return 1; }
  wl_spawn wireplumber > "$WL_ROOT/wireplumber.log" 2>&1
  local args=(mutter --headless --wayland --no-x11) sz
  for sz in "${sizes[@]}"; do args+=(--virtual-monitor "$sz"); done
  wl_spawn "${args[@]}" > "$WL_ROOT/mutter.log" 2>&1
  local pid=$WL_LAST_PID
  _wl_until 20 _wl_socket >/dev/null || { _wl_failed mutter "made no Wayland socket"; return 1; }
  WL_DISPLAY=$(_wl_socket)
  _wl_until 20 _wl_has_name org.gnome.Mutter.RemoteDesktop || { _wl_failed mutter "has no org.gnome.Mutter.RemoteDesktop"; return 1; }
  _wl_until 10 _wl_has_name org.gnome.Mutter.ScreenCast || { _wl_failed mutter "has no org.gnome.Mutter.ScreenCast"; return 1; }
  kill -0 "$pid" 2>/dev/null || { _wl_failed mutter "ended"; return 1; }
  WL_COMPOSITOR=mutter
}

wl_end() {
  local i
  for (( i=${#WL_PIDS[@]}-1; i>=0; i-- )); do wl_stop "${WL_PIDS[$i]}"; done
  WL_PIDS=()
  [ -n "$_wl_holder_pid" ] && kill -TERM "$_wl_holder_pid" 2>/dev/null
  [ -n "$_wl_session_pid" ] && wl_stop "$_wl_session_pid"
  _wl_holder_pid="" _wl_session_pid=""
  # Anything the session still runs under the scratch uid (bus-activated
  # services) was started by this test: end it by PID.
  if [ "$(id -u)" = 0 ] && [ -n "$WL_UID" ]; then
    local p
    for p in $(ps -o pid= -u "$WL_UID" 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
  fi
  [ -n "$WL_ROOT" ] && rm -rf "$WL_ROOT"
  WL_ROOT=""
}
