#!/usr/bin/env bash
# Runs a cross-built test program under Wine. scripts/test provides WINEPREFIX
# and DISPLAY; refusing to run without a prefix keeps Wine from silently
# creating ~/.wine. Output under Wine ends lines with CRLF, which would leak
# into test names at discovery, so CRs are dropped. The output goes through a
# file, not a pipe: Wine's helper processes inherit the descriptors and would
# hold a pipe open long after the program ended.
set -u
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-run.sh: WINEPREFIX is not set (run through scripts/test)" >&2
  exit 125
fi
# VL_WINEDEBUG: Wine debug channels for one test (e.g. warn+heap).
export WINEDEBUG=${VL_WINEDEBUG:--all}
out=$(mktemp)
err=$(mktemp)
# A program that ends non-zero without writing a byte never ran: every test
# program prints before it tests anything. Wine very rarely loses a start
# like that on a loaded machine; such a start is tried again, twice at most.
for attempt in 1 2 3; do
  /usr/lib/wine/wine64 "$@" > "$out" 2> "$err" < /dev/null
  rc=$?
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || [ -s "$err" ]; then break; fi
  echo "wine-run.sh: start $attempt ended with $rc and no output" >&2
done
tr -d '\r' < "$out"
tr -d '\r' < "$err" >&2
rm -f "$out" "$err"
exit "$rc"
