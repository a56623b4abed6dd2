#!/usr/bin/env bash
# build-deb.sh AGENT PAD MAKE_APP_ICON VERSION OUTDIR: the Debian 12 package
# velmora-agent_VERSION_amd64.deb from built Linux programs. Depends comes
# from dpkg-shlibdeps on the very binaries, plus what is loaded at run time
# (libGL through GLFW, a Chinese font through fontconfig).
set -euo pipefail
agent=$1 pad=$2 make_icon=$3 version=$4 out=$5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../licences.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pkg=$work/pkg
install -d "$pkg/DEBIAN" "$pkg/usr/bin" "$pkg/usr/share/applications" "$pkg/etc/xdg/autostart" \
  "$pkg/usr/share/doc/velmora-agent"
install -m 0755 -s "$agent" "$pkg/usr/bin/velmora-agent"
install -m 0755 -s "$pad" "$pkg/usr/bin/velmora-pad"
install -m 0644 "$here/velmora-agent.desktop" "$pkg/usr/share/applications/velmora-agent.desktop"
install -m 0644 "$here/velmora-agent-autostart.desktop" "$pkg/etc/xdg/autostart/velmora-agent.desktop"
for size in 48 256; do
  install -d "$pkg/usr/share/icons/hicolor/${size}x$size/apps"
  "$make_icon" --png "$size" "$pkg/usr/share/icons/hicolor/${size}x$size/apps/velmora-agent.png"
done
{
  echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
  echo "Upstream-Name: velmora-agent"
  echo
  licence_text linux
} > "$pkg/usr/share/doc/velmora-agent/copyright"
chmod 0644 "$pkg/usr/share/doc/velmora-agent/copyright"
echo /etc/xdg/autostart/velmora-agent.desktop > "$pkg/DEBIAN/conffiles"
for script in postinst prerm; do
  sed -e "/#VL_QUIT_AGENTS#/{r $here/quit-agents.sh" -e 'd}' "$here/$script" > "$pkg/DEBIAN/$script"
  chmod 0755 "$pkg/DEBIAN/$script"
done

# dpkg-shlibdeps wants a source tree around it; a two-stanza control suffices.
mkdir -p "$work/src/debian"
printf 'Source: velmora-agent\n\nPackage: velmora-agent\nArchitecture: amd64\n' > "$work/src/debian/control"
shlibs=$(cd "$work/src" && dpkg-shlibdeps -O "$pkg/usr/bin/velmora-agent" "$pkg/usr/bin/velmora-pad" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { echo "build-deb: dpkg-shlibdeps found nothing" >&2; exit 1; }
size=$(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@SIZE@/$size/" -e "s/@SHLIBS@/$shlibs/" "$here/control.in" > "$pkg/DEBIAN/control"

mkdir -p "$out"
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$out/velmora-agent_${version}_amd64.deb" >/dev/null
echo "$out/velmora-agent_${version}_amd64.deb"
