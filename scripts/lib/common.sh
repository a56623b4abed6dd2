# Shared bits of the project scripts (sourced).
note() { printf '== %s\n' "$*" >&2; }
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
