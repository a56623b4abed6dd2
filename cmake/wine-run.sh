#!/usr/bin/env bash
# Runs a cross-built test program under Wine. scripts/test provides WINEPREFIX
# and DISPLAY; refusing to run without a prefix keeps Wine from silently
# creating ~/.wine. Output under Wine ends lines with CRLF, which would leak
# into test names at discovery, so CRs are dropped.
set -uo pipefail
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-run.sh: WINEPREFIX is not set (run through scripts/test)" >&2
  exit 125
fi
export WINEDEBUG=-all
/usr/lib/wine/wine64 "$@" | tr -d '\r'
exit "${PIPESTATUS[0]}"
