#!/bin/bash
# Route reaction latency of the real service: how long after an RDP client's connection is
# established the service starts route.exe for it. Runs inside network namespaces made here
# and removed again:
#
#   service namespace  veth 10.78.0.2/24, default route via 10.78.0.1, RDP listener on :3389,
#                      the prefix's Wine server, the service started by its SCM
#   client namespace   veth 10.78.0.1/24 plus public addresses 5.6.9.1 .. 5.6.9.RUNS
#
# Each client connects from its own address; the time runs from connect() returning until the
# route.exe stand-in (C:\windows\system32\route.exe of the prefix) has recorded its ADD for
# that address. Connections start at moments spread over the worker's 250 ms pause.
# Prints "route_ms=<t>" per connection. The service must already be installed in the prefix
# with a silent child; it is stopped and the prefix's Wine server ended afterwards.
#
# usage: route_reaction_netns.sh PREFIX BIN-DIR DATA-DIR RUNS WORKDIR
set -euo pipefail

prefix=$1 bin=$2 data=$3 runs=$4 work=$5
support=$(cd "$(dirname "$0")/../tests/support" && pwd)
source "$support/netns.sh"
if [ "$(id -u)" != 0 ] || ! ip netns list >/dev/null 2>&1; then
    echo "SKIPPED: network namespaces need root and 'ip netns'" >&2
    exit 3
fi

svc=kb-svc-$$ cli=kb-cli-$$ veth_svc=kbs$$ veth_cli=kbc$$
system32=$prefix/drive_c/windows/system32
record=$system32/route-record.txt
pids=()
export WINEPREFIX=$prefix WINEDEBUG=-all

cleanup() {
    local status=$?
    ip netns exec "$svc" wine "$bin/bench_probe.exe" stop KestruneConnectSingBox \
        >/dev/null 2>&1 || true
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wineserver -k 2>/dev/null || true
    ip netns del "$svc" 2>/dev/null || true
    ip netns del "$cli" 2>/dev/null || true
    exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

die() {
    echo "route reaction: $*" >&2
    tail -5 "$data/sing-box-service.log" >&2 2>/dev/null || true
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
cp "$bin/route_stand_in.exe" "$system32/route.exe"
rm -f "$record" "$data/sing-box-service.log"

wineserver -k 2>/dev/null || true
clients=()
for ((i = 1; i <= runs; i++)); do
    clients+=("5.6.9.$i")
done
make_rdp_link "$svc" "$cli" "$veth_svc" "$veth_cli" 10.78.0 "${clients[@]}"

cat >"$work/clients.py" <<'PY'
import os, socket, sys, time
record, runs = sys.argv[1], int(sys.argv[2])
def recorded(needle):
    try:
        with open(record) as f:
            return needle in f.read()
    except FileNotFoundError:
        return False
held = []
for i in range(1, runs + 1):
    # 0.3 s apart plus a step of 97 ms, so the connections meet the worker's pause at
    # every phase.
    time.sleep(0.3 + (i * 0.097) % 0.25)
    conn = socket.socket()
    conn.bind(("5.6.9.%d" % i, 0))
    conn.connect(("10.78.0.2", 3389))
    start = time.monotonic()
    held.append(conn)
    needle = "ADD 5.6.9.%d " % i
    while not recorded(needle):
        if time.monotonic() - start > 20:
            sys.exit("no ADD for 5.6.9.%d within 20 s" % i)
        time.sleep(0.001)
    print("route_ms=%.1f" % ((time.monotonic() - start) * 1000), flush=True)
PY

ip netns exec "$svc" python3 "$support/rdp_listener.py" >"$work/listener.out" 2>&1 &
pids+=($!)
for ((i = 0; i < 100; i++)); do
    grep -q listening "$work/listener.out" && break
    sleep 0.1
done
grep -q listening "$work/listener.out" || die "the RDP listener did not start"

ip netns exec "$svc" wine "$bin/bench_probe.exe" start KestruneConnectSingBox >/dev/null ||
    die "the service did not start"
for ((i = 0; i < 300; i++)); do
    grep -q "protection enabled via 10.78.0.1" "$data/sing-box-service.log" 2>/dev/null && break
    sleep 0.1
done
grep -q "protection enabled via 10.78.0.1" "$data/sing-box-service.log" ||
    die "route protection did not start on the namespace's route"

ip netns exec "$cli" python3 "$work/clients.py" "$record" "$runs"
