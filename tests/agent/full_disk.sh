#!/usr/bin/env bash
# Runs the agent's full-disk settings test on a 64 KiB tmpfs mounted in a
# private mount namespace, so nothing outside sees it.
#
#   full_disk.sh AGENT_TESTS
set -uo pipefail
tests=$(realpath "$1")
if [ "${VL_IN_MOUNT_NS:-}" != 1 ]; then
  export VL_IN_MOUNT_NS=1
  ns=(unshare -m); [ "$(id -u)" = 0 ] || ns=(unshare -r -m)
  "${ns[@]}" true 2>/dev/null || { echo "SKIP: no private mount namespace"; exit 77; }
  exec "${ns[@]}" -- bash "$0" "$@"
fi
mount --make-rprivate / 2>/dev/null
dir=$(mktemp -d)
trap 'umount "$dir" 2>/dev/null; rmdir "$dir"' EXIT
mount -t tmpfs -o size=64k tmpfs "$dir" || { echo "SKIP: cannot mount a tmpfs"; exit 77; }
out=$(VL_TEST_FULL_DISK_DIR="$dir" "$tests" \
  --gtest_filter='AgentTest.SettingsOnAFullDiskWarnThenSaveOnceSpaceIsFreed' 2>&1)
rc=$?
echo "$out" | grep -v '^\[[0-9:.]*\]\[' # the agent's own lines are noise here
[ "$rc" = 0 ] && grep -qF '[  PASSED  ] 1 test' <<<"$out" && ! grep -qF '[  SKIPPED ]' <<<"$out" || exit 1
echo PASS
