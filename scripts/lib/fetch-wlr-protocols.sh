#!/usr/bin/env bash
# Takes the wlroots protocol descriptions the Linux build generates its
# Wayland client code from (screencopy, virtual pointer, virtual keyboard)
# out of Debian's wlroots source package into .cache/wlr-protocols. Debian
# ships them in no binary package. Skipped when already done.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$root/scripts/lib/common.sh"
source "$root/scripts/lib/debian-source.sh"

dest="$root/.cache/wlr-protocols"
files=(wlr-screencopy-unstable-v1.xml wlr-virtual-pointer-unstable-v1.xml virtual-keyboard-unstable-v1.xml)
have=1
for f in "${files[@]}"; do [ -s "$dest/$f" ] || have=0; done
[ "$have" = 1 ] && exit 0

note "fetching the wlroots protocol descriptions"
src="$root/.cache/src/wlroots"
if ! ls -d "$src/wlroots-"*/protocol >/dev/null 2>&1; then
  rm -rf "$src"
  fetch_debian_source wlroots "$src"
fi
dir=$(ls -d "$src/wlroots-"*/protocol | head -n 1)
mkdir -p "$dest"
for f in "${files[@]}"; do cp "$dir/$f" "$dest/"; done
