#!/bin/bash
# Host routes that the system drops: how long a protected RDP session stays cut off after a link
# flap or an outside deletion of its route, beside a control measured in the same events.
# Runs inside network namespaces made here and removed again:
#
#   service namespace  veth 10.77.0.2/24, default route via 10.77.0.1, an echoing listener on
#                      :3389 (watched by the service) and :3390 (not watched), a tunnel adapter
#                      stand-in, the prefix's Wine server, the service started by its SCM
#   client namespace   veth 10.77.0.1/24 plus 5.6.9.1 and 5.6.9.2
#
# After the proxy's takeover (0.0.0.0/1 and 128.0.0.0/1 into the tunnel, which swallows them) two
# sessions run side by side: 5.6.9.1 on 3389, whose host route the service keeps, and the
# control 5.6.9.2 on 3390, which the service does not watch and whose host route is put back by
# hand 1 s after each event, as an administrator's script at its best would. Each echoes a probe
# every 50 ms. Per round, in an order that turns each round, and each starting at another phase
# of the service's 2 s table reading:
#   flap5   the service's link down for 5 s, then up, the default route put back as DHCP would
#   flap0.3 the same, down for 0.3 s
#   delete  both host routes deleted from outside
# Prints "<case> service <ms>" and "<case> control <ms>": from the link being back (or the
# deletion) to the session's first echo after it.
#
# The service must already be installed in the prefix with a silent child; it is stopped and
# the prefix's Wine server ended afterwards.
#
# usage: route_flap_netns.sh PREFIX BIN-DIR DATA-DIR ROUNDS WORKDIR
set -euo pipefail

prefix=$1 bin=$2 data=$3 rounds=$4 work=$5
support=$(cd "$(dirname "$0")/../tests/support" && pwd)
source "$support/netns.sh"
netns_usable || { echo "SKIPPED: network namespaces need root and 'ip netns'" >&2; exit 3; }

source "$(dirname "$0")/bench_netns.sh"
bench_netns_setup "route flap" f
protected=5.6.9.1 control=5.6.9.2 gateway=10.77.0.1

rm -rf "$work"
mkdir -p "$work"
cp "$bin/route_stand_in.exe" "$system32/route.exe"
rm -f "$record" "$data/sing-box-service.log"
wineserver -k 2>/dev/null || true
make_rdp_link "$svc" "$cli" "$veth_svc" "$veth_cli" 10.77.0 "$protected" "$control"
make_tunnel "$svc" "$tun" "$tun_peer"

# A session that writes the wall-clock time of every echo it gets.
cat >"$work/session.py" <<'PY'
import select, socket, sys, time
source, port, out = sys.argv[1], int(sys.argv[2]), open(sys.argv[3], "a", buffering=1)
conn = socket.create_connection(("10.77.0.2", port), timeout=30, source_address=(source, 0))
conn.setblocking(False)
conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
print("connected", flush=True)
while True:
    try:
        conn.send(b"probe\n")
    except BlockingIOError:
        pass
    end = time.monotonic() + 0.05
    while (wait := end - time.monotonic()) > 0:
        if select.select([conn], [], [], wait)[0]:
            if not conn.recv(4096):
                sys.exit("the server closed the session")
            out.write("%.3f\n" % time.time())
PY
# The first echo after the event at wall-clock time $2 that ends a silence (no echo for 250 ms,
# five probes), in ms after the event; 99999 when none came. An echo already on its way when
# the routes went does not count.
first_echo_ms() {
    python3 - "$1" "$2" <<'PY'
import sys
since, last = float(sys.argv[2]), None
for t in map(float, open(sys.argv[1])):
    if t >= since and last is not None and t - last >= 0.25:
        print("%.0f" % ((t - since) * 1000))
        break
    last = t
else:
    print("99999")
PY
}
now() { date +%s.%N; }
# The session's last echo came less than 300 ms ago.
echoing() {
    python3 -c 'import sys, time
lines = open(sys.argv[1]).read().split()
sys.exit(0 if lines and time.time() - float(lines[-1]) < 0.3 else 1)' "$work/echo-$1" 2>/dev/null
}

ip netns exec "$svc" python3 "$support/rdp_listener.py" 3389 3390 >"$work/listener.out" 2>&1 &
pids+=($!)
wait_for 10 grep -q listening "$work/listener.out" || die "the RDP listener did not start"
ip netns exec "$svc" wine "$bin/bench_probe.exe" sleep 3600000 >/dev/null 2>&1 &
pids+=($!)
ip netns exec "$svc" python3 "$support/route_follower.py" "$record" "$work/applied.txt" \
    >"$work/follower.out" 2>&1 &
pids+=($!)
ip netns exec "$svc" wine "$bin/bench_probe.exe" start KestruneConnectSingBox >/dev/null ||
    die "the service did not start"
wait_for 30 grep -q "protection enabled via $gateway" "$data/sing-box-service.log" ||
    die "route protection did not start on the namespace's route"

for client in "$protected" "$control"; do
    port=3389
    [ "$client" = "$control" ] && port=3390
    ip netns exec "$cli" python3 "$work/session.py" "$client" "$port" "$work/echo-$client" \
        >"$work/session-$client.out" 2>&1 &
    pids+=($!)
done
ip -n "$svc" route add "$control/32" via "$gateway" dev "$veth_svc"
wait_for 30 grep -qx "ADD $protected ok" "$work/applied.txt" || die "no host route for $protected"
take_default_route "$svc" "$tun"
wait_for 10 eval 'echoing "$protected" && echoing "$control"' || die "no echoes after the takeover"

# One event: $1 the case, $2 what breaks the routes, $3 what mends the link (nothing for a
# deletion). The control's route comes back by hand 1 s after the link (or the deletion).
event() {
    local name=$1 back
    eval "$2"
    [ "$name" = delete ] && back=$(now)
    eval "$3"
    [ "$name" = delete ] || back=$(now)
    sleep 1
    ip -n "$svc" route replace "$control/32" via "$gateway" dev "$veth_svc"
    wait_for 30 eval 'echoing "$protected" && echoing "$control"' || die "$name: no echoes again"
    echo "$name service $(first_echo_ms "$work/echo-$protected" "$back")"
    echo "$name control $(first_echo_ms "$work/echo-$control" "$back")"
    sleep 2 # both sessions' retransmission timers back to normal
}
flap() {
    event "flap$1" "ip -n $svc link set $veth_svc down; sleep $1" \
        "ip -n $svc link set $veth_svc up; ip -n $svc route add default via $gateway dev $veth_svc"
}
delete() {
    event delete "ip -n $svc route del $protected/32; ip -n $svc route del $control/32" ":"
}
cases=(flap5 flap0.3 delete)
for ((round = 0; round < rounds; round++)); do
    for ((c = 0; c < ${#cases[@]}; c++)); do
        # Another phase of the 2 s reading for each event.
        sleep "$(python3 -c "print(($round * 3 + $c) * 0.37 % 2)")"
        case ${cases[(round + c) % ${#cases[@]}]} in
        flap5) flap 5 ;;
        flap0.3) flap 0.3 ;;
        delete) delete ;;
        esac
    done
done
