#!/usr/bin/env bash
# build-windows.sh AGENT_EXE PAD_EXE VERSION OUTDIR: the portable zip
# velmora-agent-VERSION-windows-x64.zip and the NSIS installer
# velmora-agent-setup-VERSION.exe from built Windows programs.
set -euo pipefail
agent=$1 pad=$2 version=$3 out=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$here/../licences.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
name=velmora-agent-$version-windows-x64
stage=$work/$name
mkdir -p "$stage" "$out"
out=$(cd "$out" && pwd)
cp "$agent" "$stage/velmora-agent.exe"
cp "$pad" "$stage/velmora-pad.exe"
x86_64-w64-mingw32-strip "$stage/velmora-agent.exe" "$stage/velmora-pad.exe"
cp "$root/README.md" "$stage/README.md"
licence_text windows | sed 's/$/\r/' > "$stage/THIRD-PARTY-LICENSES.txt"

rm -f "$out/$name.zip"
(cd "$work" && zip -qr -X "$out/$name.zip" "$name")
echo "$out/$name.zip"

cp "$root/src/app/app.ico" "$stage/app.ico"
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out/velmora-agent-setup-$version.exe" \
  "$here/velmora-agent.nsi" >&2
echo "$out/velmora-agent-setup-$version.exe"
