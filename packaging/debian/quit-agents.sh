# Shared by postinst and prerm (build-deb.sh puts it into both): ends the
# agents that run this package's program, each as its own user with
# "velmora-agent --quit", which asks for the orderly stop (settings saved)
# through the user's single-instance lock. DPKG_ROOT: an install into
# another root (dpkg --root with chrootless scripts).
agent="${DPKG_ROOT:-}/usr/bin/velmora-agent"

# Prints "uid runtime-dir" once per user that runs the program.
running_agent_users() {
  for exe in /proc/[0-9]*/exe; do
    target=$(readlink "$exe" 2>/dev/null) || continue
    [ "$target" = "$agent" ] || [ "$target" = "$agent (deleted)" ] || continue
    dir=${exe%/exe}
    uid=$(sed -n 's/^Uid:[[:space:]]*\([0-9]*\).*/\1/p' "$dir/status" 2>/dev/null) || continue
    [ -n "$uid" ] || continue
    runtime=$(tr '\0' '\n' < "$dir/environ" 2>/dev/null | sed -n 's/^XDG_RUNTIME_DIR=//p' | head -n 1)
    echo "$uid ${runtime:-}"
  done | sort -u
}

# Sets $ended_users to the names of the users whose agent was ended.
quit_agents() {
  ended_users=""
  [ -x "$agent" ] && command -v setpriv >/dev/null 2>&1 || return 0
  running_agent_users | while read -r uid runtime; do
    gid=$(getent passwd "$uid" | cut -d: -f4)
    name=$(getent passwd "$uid" | cut -d: -f1)
    # The agent's own runtime directory, where its lock is; without one,
    # --quit looks in /run/user/UID and /tmp.
    set -- setpriv --reuid="$uid" --regid="${gid:-$uid}" --clear-groups env -u XDG_RUNTIME_DIR
    [ -n "$runtime" ] && set -- "$@" XDG_RUNTIME_DIR="$runtime"
    if "$@" "$agent" --quit; then
      echo "${name:-$uid}"
    else
      echo "velmora-agent: the agent of ${name:-user $uid} did not end; it goes on with the old program until it is ended" >&2
    fi
  done > "${TMPDIR:-/tmp}/velmora-agent-quit.$$" || true
  ended_users=$(tr '\n' ' ' < "${TMPDIR:-/tmp}/velmora-agent-quit.$$" | sed 's/ $//')
  rm -f "${TMPDIR:-/tmp}/velmora-agent-quit.$$"
}
