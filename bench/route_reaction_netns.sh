#!/bin/bash
# Route reaction latency of the real service, and RDP connections across a proxy's takeover of
# the default route. Runs inside network namespaces made here and removed again:
#
#   service namespace  veth 10.78.0.2/24, default route via 10.78.0.1, echoing RDP listener on
#                      :3389, a tunnel adapter stand-in, the prefix's Wine server, the service
#                      started by its SCM
#   client namespace   veth 10.78.0.1/24 plus public addresses 5.6.9.1 .. 5.6.9.RUNS,
#                      5.6.11.1 .. 5.6.11.RUNS, 5.6.20.1, 5.6.21-25.1 .. 40 for the bursts and
#                      5.7.1-2.1 .. 150 for the crowd
#
# Route reaction: each client connects from its own address 5.6.9.i; the time runs from
# connect() returning until the route.exe stand-in (C:\windows\system32\route.exe of the prefix)
# has recorded its ADD for that address. Connections start at moments spread over the worker's
# 250 ms pause. Prints "route_ms=<t>" per connection.
#
# Takeover: the service is restarted (so it tracks no peers), route_follower.py carries the
# recorded route commands out in the service namespace, a session from 5.6.9.1 gets its host
# route and echoes a probe every 100 ms; then 0.0.0.0/1 and 128.0.0.0/1 go into the tunnel.
# RUNS times, a client from 5.6.9.1 (its host route in place) and a client from the new address
# 5.6.11.i (whose SYN-ACK first goes into the tunnel) connect; connect() is timed, SYN
# retransmissions included. Prints "connect routed <ms>" and "connect late <ms>" per client,
# then "gap before <ms>" and "gap after <ms>": the protected session's longest echo gap before
# and from the takeover on.
#
# Bursts, in the same run after the takeover: BURSTS times (3, or 5 for RUNS >= 10), 40 clients
# from new addresses connect at once and leave; then the same 40 again, their host routes now
# in place. Prints "burst new <connected> <ms>" and "burst routed <connected> <ms>", ms being
# the time until the last of them was in. Then a crowd of 300 short-lived clients (started 20 ms
# apart, each gone 0.5 s after it got in) fills the wanted set with gone peers, and one more
# new client connects: "crowd <connected> 300" and "connect newcomer <ms>".
#
# The service must already be installed in the prefix with a silent child; it is stopped and
# the prefix's Wine server ended afterwards.
#
# usage: route_reaction_netns.sh PREFIX BIN-DIR DATA-DIR RUNS WORKDIR
set -euo pipefail

prefix=$1 bin=$2 data=$3 runs=$4 work=$5
support=$(cd "$(dirname "$0")/../tests/support" && pwd)
source "$support/netns.sh"
netns_usable || { echo "SKIPPED: network namespaces need root and 'ip netns'" >&2; exit 3; }

source "$(dirname "$0")/bench_netns.sh"
bench_netns_setup "route reaction" b

rm -rf "$work"
mkdir -p "$work"
cp "$bin/route_stand_in.exe" "$system32/route.exe"
rm -f "$record" "$data/sing-box-service.log"

wineserver -k 2>/dev/null || true
clients=(5.6.20.1)
for ((i = 1; i <= runs; i++)); do
    clients+=("5.6.9.$i" "5.6.11.$i")
done
bursts=$((runs >= 10 ? 5 : 3))
for ((b = 1; b <= bursts; b++)); do
    for ((i = 1; i <= 40; i++)); do clients+=("5.6.$((20 + b)).$i"); done
done
crowd=()
for ((i = 0; i < 300; i++)); do crowd+=("5.7.$((1 + i / 150)).$((1 + i % 150))"); done
clients+=("${crowd[@]}")
make_rdp_link "$svc" "$cli" "$veth_svc" "$veth_cli" 10.78.0 "${clients[@]}"
make_tunnel "$svc" "$tun" "$tun_peer"

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

# Wine stops services soon after its last ordinary process ends: a sleeper holds it up.
ip netns exec "$svc" wine "$bin/bench_probe.exe" sleep 3600000 >/dev/null 2>&1 &
pids+=($!)

# Starts the service with an empty log and waits until route protection runs.
start_service() {
    rm -f "$data/sing-box-service.log"
    ip netns exec "$svc" wine "$bin/bench_probe.exe" start KestruneConnectSingBox >/dev/null ||
        die "the service did not start"
    for ((i = 0; i < 300; i++)); do
        grep -q "protection enabled via 10.78.0.1" "$data/sing-box-service.log" 2>/dev/null && break
        sleep 0.1
    done
    grep -q "protection enabled via 10.78.0.1" "$data/sing-box-service.log" ||
        die "route protection did not start on the namespace's route"
}

start_service
ip netns exec "$cli" python3 "$work/clients.py" "$record" "$runs"

# --- takeover: a fresh service run, the routes it asks for carried out for real
ip netns exec "$svc" wine "$bin/bench_probe.exe" stop KestruneConnectSingBox >/dev/null ||
    die "the service did not stop"
rm -f "$record"
ip netns exec "$svc" python3 "$support/route_follower.py" "$record" "$work/applied.txt" \
    >"$work/follower.out" 2>&1 &
pids+=($!)
start_service
ip netns exec "$cli" python3 "$support/rdp_client.py" 5.6.9.1 10.78.0.2 "$work/gaps" \
    >"$work/session.out" 2>&1 &
pids+=($!)
for ((i = 0; i < 300; i++)); do
    grep -qx "ADD 5.6.9.1 ok" "$work/applied.txt" 2>/dev/null && [ -s "$work/gaps" ] && break
    sleep 0.1
done
grep -qx "ADD 5.6.9.1 ok" "$work/applied.txt" || die "no host route for the protected session"
sleep 2
mark=$(wc -l <"$work/gaps")
take_default_route "$svc" "$tun"

cat >"$work/connects.py" <<'PY'
import socket, sys, time
runs, held = int(sys.argv[1]), []
def timed_connect(kind, source):
    conn = socket.socket()
    conn.bind((source, 0))
    conn.settimeout(30)
    start = time.monotonic()
    try:
        conn.connect(("10.78.0.2", 3389))
    except OSError as e:
        sys.exit("%s did not connect: %s" % (source, e))
    print("connect %s %.1f" % (kind, (time.monotonic() - start) * 1000), flush=True)
    held.append(conn)
for i in range(1, runs + 1):
    # Spread over the worker's 250 ms pause, as for the route reaction.
    time.sleep(0.3 + (i * 0.097) % 0.25)
    timed_connect("routed", "5.6.9.1")
    timed_connect("late", "5.6.11.%d" % i)
PY
ip netns exec "$cli" python3 "$work/connects.py" "$runs"
echo "gap before $(head -n "$mark" "$work/gaps" | sort -n | tail -1)"
echo "gap after $(tail -n +$((mark + 1)) "$work/gaps" | sort -n | tail -1)"

# --- bursts of 40 new clients, then the same 40 with their routes in place
burst() {
    ip netns exec "$cli" python3 "$support/rdp_burst.py" 10.78.0.2 20 0 0 "$@" |
        sed -n 's/^burst \([0-9]*\) of [0-9]* last \([0-9]*\)$/\1 \2/p'
}
for ((b = 1; b <= bursts; b++)); do
    members=()
    for ((i = 1; i <= 40; i++)); do members+=("5.6.$((20 + b)).$i"); done
    echo "burst new $(burst "${members[@]}")"
    sleep 2 # routes of those that stayed out are added meanwhile
    echo "burst routed $(burst "${members[@]}")"
done

# --- a crowd of short-lived clients, then one more
ip netns exec "$cli" python3 "$support/rdp_burst.py" 10.78.0.2 20 0.5 20 "${crowd[@]}" \
    >"$work/crowd.out"
echo "crowd $(tail -1 "$work/crowd.out" | cut -d' ' -f2) 300"
sleep 1
newcomer=$(ip netns exec "$cli" python3 "$support/rdp_burst.py" 10.78.0.2 30 0 0 5.6.20.1)
echo "connect newcomer $(sed -n 's/^connected 5.6.20.1 //p' <<<"$newcomer")"
