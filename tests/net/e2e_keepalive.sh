#!/bin/bash
# A peer that vanishes without closing (a pulled cable) must be noticed by
# keepalive on both ends: a frame server in one private network namespace,
# a client in another, joined by a veth pair that is then cut. Nothing is
# sent after connecting, so no FIN and no data can give the loss away.
# Usage: e2e_keepalive.sh KEEPALIVE_PEER
set -u
PEER=$1
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../support/e2e.sh"

LIMIT_S=45
PORT=4100
SERVER_IP=169.254.77.1

if [ "${VL_KEEPALIVE_NS_B:-}" = "" ]; then
  # Outside: namespace B is a sleeping process; this script runs again in A.
  [ "$(id -u)" = 0 ] || { echo "SKIP: veth pairs between namespaces need root"; exit 77; }
  unshare -n true 2>/dev/null || { echo "SKIP: no private network namespace"; exit 77; }
  unshare -n sleep 600 &
  NS_B=$!
  trap 'kill "$NS_B" 2>/dev/null; wait "$NS_B" 2>/dev/null' EXIT
  other_ns() { [ "$(readlink /proc/"$NS_B"/ns/net)" != "$(readlink /proc/$$/ns/net)" ]; }
  until_true 5 other_ns ||
    { echo "FAIL: namespace B did not start"; exit 1; }
  VL_KEEPALIVE_NS_B=$NS_B unshare -n bash "$0" "$PEER"
  exit $?
fi

NS_B=$VL_KEEPALIVE_NS_B
in_b() { nsenter -t "$NS_B" -n "$@"; }
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- server"; cat "$WORK/server.log"; echo "--- client"; cat "$WORK/client.log"; exit 1; }

ip link set lo up || exit 1
if ! ip link add va type veth peer name vb 2>/dev/null; then echo "SKIP: cannot create a veth pair"; exit 77; fi
ip link set vb netns "$NS_B" || exit 1
ip addr add "$SERVER_IP/30" dev va && ip link set va up || exit 1
in_b sh -c 'ip link set lo up; ip addr add 169.254.77.2/30 dev vb; ip link set vb up' || exit 1
until_true 10 sh -c "ip -o link show va | grep -q LOWER_UP" || { echo "FAIL: veth never came up"; exit 1; }

"$PEER" serve "$SERVER_IP" "$PORT" > "$WORK/server.log" 2>&1 &
PIDS+=($!)
wait_for "$WORK/server.log" listening 10 || fail "server did not listen"
in_b "$PEER" connect "$SERVER_IP" "$PORT" > "$WORK/client.log" 2>&1 &
PIDS+=($!)
wait_for "$WORK/server.log" "connected #" 15 || fail "server saw no connection"
wait_for "$WORK/client.log" connected 15 || fail "client did not connect"

# Cut the cable on B's side: A keeps its address and route, its probes just
# go unanswered.
in_b ip link set vb down || fail "could not cut the link"
cut=$(date +%s%N)
wait_for "$WORK/server.log" "lost #" "$LIMIT_S" || fail "server did not notice the vanished client within ${LIMIT_S} s"
server_s=$(( ($(date +%s%N) - cut) / 1000000 ))
wait_for "$WORK/client.log" lost "$LIMIT_S" || fail "client did not notice the vanished server within ${LIMIT_S} s"
client_s=$(( ($(date +%s%N) - cut) / 1000000 ))
[ "$client_s" -le $(( LIMIT_S * 1000 )) ] || fail "client noticed only after ${client_s} ms"
echo "server noticed the loss after ${server_s} ms, client after ${client_s} ms"
cat "$WORK/server.log" "$WORK/client.log"
exit 0
