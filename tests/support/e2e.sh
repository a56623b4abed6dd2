# Shared by the end-to-end scripts (sourced).

# e2e_enter_netns SCRIPT ARGS...: runs the script again inside a private
# network namespace (broadcasts never leave it); exit 77 (skip) when none
# can be made. Returns at once when already inside.
e2e_enter_netns() {
  [ "${VL_E2E_IN_NETNS:-}" = 1 ] && return 0
  export VL_E2E_IN_NETNS=1
  local ns=(unshare -n); [ "$(id -u)" = 0 ] || ns=(unshare -r -n)
  "${ns[@]}" true 2>/dev/null || { echo "SKIP: no private network namespace"; exit 77; }
  exec "${ns[@]}" -- "$@"
}

wait_for() {  # FILE TEXT SECONDS: TEXT appears in FILE
  for _ in $(seq 1 $(( $3 * 10 ))); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

until_true() {  # SECONDS COMMAND...
  local n=$(( $1 * 10 )); shift
  for _ in $(seq 1 "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}
