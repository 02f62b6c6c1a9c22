#!/bin/bash
# RDP route protection end to end, inside network namespaces created here and removed again:
#
#   service namespace  veth 10.77.0.2/24, default route via 10.77.0.1, RDP listener on :3389,
#                      a Wine server of its own running the real RouteProtection worker
#   client namespace   veth 10.77.0.1/24 plus the public addresses 5.6.7.8, 5.6.7.9, 5.6.7.10
#
# The worker must find the physical route 10.77.0.1 in the real routing table, see the real
# connections in the real TCP table, and run the route.exe stand-in with ADD when a client
# connects, DELETE once the client has gone and the (shortened) TTL has passed, nothing for a
# peer whose host route already exists, and DELETE for its remaining routes at stop, where
# route.exe hangs: the stop still ends within 25 s, showing progress meanwhile. Nothing leaves
# the machine: the public addresses exist only in the client namespace.
#
# usage: route_protection_netns.sh WORKER.exe ROUTE_STAND_IN.exe WINEPREFIX WORKDIR
set -euo pipefail

worker_exe=$1 stand_in_exe=$2 prefix=$3 work=$4
ttl=3

support=$(cd "$(dirname "$0")/../support" && pwd)
source "$support/netns.sh"
require_netns

svc=kr-svc-$$ cli=kr-cli-$$ veth_svc=krs$$ veth_cli=krc$$
record=$work/windows/System32/route-record.txt
log=$work/programdata/KestruneConnect/sing-box-service.log
pids=()
export WINEPREFIX=$prefix WINEDEBUG=-all

cleanup() {
    local status=$?
    end_netns_run "$svc" "$cli" "${pids[@]}"
    if [ "$status" != 0 ]; then
        echo "--- worker output"; cat "$work/worker.out" 2>/dev/null || true
        echo "--- route.exe record"; cat "$record" 2>/dev/null || true
        echo "--- log"; cat "$log" 2>/dev/null || true
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# --- work folder: WINDIR with the stand-in as System32\route.exe, PROGRAMDATA for the log
rm -rf "$work"
mkdir -p "$work/windows/System32" "$work/programdata"
cp "$stand_in_exe" "$work/windows/System32/route.exe"
route_exe="\"$(windows_path "$work/windows/System32/route.exe")\""

# --- namespaces and the link between them
wineserver -k 2>/dev/null || true
make_rdp_link "$svc" "$cli" "$veth_svc" "$veth_cli" 10.77.0 5.6.7.8 5.6.7.9 5.6.7.10

cat >"$work/client.py" <<'PY'
import socket, sys, time
conn = socket.socket()
conn.bind((sys.argv[1], 0))
conn.connect(("10.77.0.2", 3389))
print("connected", flush=True)
while True:
    time.sleep(3600)
PY

ip netns exec "$svc" python3 "$support/rdp_listener.py" >"$work/listener.out" 2>&1 &
pids+=($!)
wait_for 10 grep -q listening "$work/listener.out" || die "listener did not start"

declare -A client_pid
connect() {
    ip netns exec "$cli" python3 "$work/client.py" "$1" >"$work/client-$1.out" 2>&1 &
    client_pid[$1]=$!
    pids+=($!)
    wait_for 10 grep -q connected "$work/client-$1.out" || die "client $1 did not connect"
}
disconnect() { kill "${client_pid[$1]}"; }

recorded() { grep -qF -- "$1" "$record" 2>/dev/null; }

# --- route.exe's commands carried out in the table, as Windows would: the worker checks its
# routes there at every reading, and takes an ADD whose route never shows for one that did not
# take
ip netns exec "$svc" python3 "$support/route_follower.py" "$record" "$work/applied.txt" \
    >"$work/follower.out" 2>&1 &
pids+=($!)
follower=$!

# --- the worker, with a Wine server started inside the service namespace
boot_prefix "$prefix" ip netns exec "$svc" || die "no Wine prefix at $prefix"
connect 5.6.7.8
ip netns exec "$svc" wine "$worker_exe" "$(windows_path "$work/windows")" \
    "$(windows_path "$work/programdata")" "$(windows_path "$work/stop")" "$ttl" \
    >"$work/worker.out" 2>&1 &
pids+=($!)
worker=$!

wait_for 120 grep -q "physical route" "$work/worker.out" || die "worker found no physical route"
grep -q "^physical route 10.77.0.1 if [1-9][0-9]*" "$work/worker.out" ||
    die "unexpected physical route: $(head -1 "$work/worker.out")"
if_index=$(sed -n 's/^physical route 10.77.0.1 if \([0-9]*\).*/\1/p' "$work/worker.out")
# Wine hands out the Linux interface index.
linux_index=$(ip -n "$svc" -o link show "$veth_svc" | cut -d: -f1)
[ "$if_index" = "$linux_index" ] || die "interface $if_index is not $veth_svc ($linux_index)"
line() { echo "$route_exe $1 $2 MASK 255.255.255.255 10.77.0.1 METRIC 1 IF $if_index"; }

wait_for 30 recorded "ADD 5.6.7.8 " || die "no ADD for the first client"

# A peer whose host route through the physical gateway already exists is adopted: never added,
# never deleted. 5.6.7.10 connects after it, so once its ADD shows, 5.6.7.9 has been seen too.
ip -n "$svc" route add 5.6.7.9/32 via 10.77.0.1 dev "$veth_svc"
connect 5.6.7.9
connect 5.6.7.10
wait_for 30 recorded "ADD 5.6.7.10 " || die "no ADD for the third client"
wait_for 10 grep -qx "ADD 5.6.7.10 ok" "$work/applied.txt" || die "the third client's route is not in the table"

disconnect 5.6.7.8
wait_for $((ttl + 30)) recorded "DELETE 5.6.7.8 " || die "no DELETE after the first client left"

# Every deletion from here on hangs (the one above has ended once it is logged): the stop's
# runs are bounded (10 s each) and it goes on showing progress at least once a second.
wait_for 10 grep -q "removed for 5.6.7.8" "$log" || die "the first client's DELETE did not end"
# A hung DELETE does nothing: the route it names stays in the table (one already gone would
# not count as left).
kill "$follower"
printf DELETE >"$work/windows/System32/route-hold.txt"
touch "$work/stop"
wait_for 25 grep -q stopped "$work/worker.out" || die "worker did not stop within 25 s"
wait "$worker" || die "worker exited with $?"
progress=$(tr -d '\r' <"$work/worker.out" | sed -n 's/^stopped, \([0-9]*\) progress calls$/\1/p')
[ "${progress:-0}" -ge 5 ] || die "the stop showed progress ${progress:-0} times while route.exe hung"

expected_record=$(printf '%s\n' "$(line ADD 5.6.7.8)" "$(line ADD 5.6.7.10)" \
    "$(line DELETE 5.6.7.8)" "$(line DELETE 5.6.7.10)")
[ "$(cat "$record")" = "$expected_record" ] ||
    die "route.exe command lines differ; expected:"$'\n'"$expected_record"
expected_log=$(printf '%s\n' "RDP physical return route added for 5.6.7.8" \
    "RDP physical return route added for 5.6.7.10" \
    "RDP physical return route removed for 5.6.7.8" \
    "RDP route protection left 1 host routes in place" "RDP route protection stopped")
[ "$(cat "$log")" = "$expected_log" ] || die "log differs; expected:"$'\n'"$expected_log"
echo "PASSED: ADD on connect, DELETE after the TTL and at stop (bounded), adopted route left alone"
