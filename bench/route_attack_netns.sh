#!/bin/bash
# RDP protection under attack, with the real service under its SCM in network namespaces made
# here and removed again (as in route_reaction_netns.sh: service namespace 10.76.0.2 with an
# echoing RDP listener, a tunnel stand-in and the Wine server; client namespace 10.76.0.1).
# The client namespace owns 5.8.0.0/16 as a local route, so clients may bind any address of it;
# 5.9.0.0/16 exists nowhere (the flood's sources). The service namespace's listener queue holds
# 8192 half-open connections, as a Windows host's does, so scanners show in the TCP table
# instead of being answered with SYN cookies.
#
# Stop: 256 clients connected (each with an owned route), the route.exe stand-in taking 250 ms
# a run, stop control to STOPPED; the same with 1 client; and with 256 and every deletion
# hanging. Prints "stop <routes>|hung <ms> left <n>" (routes the stop left in place).
# Then the takeover (route_follower.py carries the recorded commands out), and:
# Lone: 5 new clients, one at a time: "lone <ms>".
# Scan waves at RATE in 10 and 50 a second for 30 s, each twice (ORDER "above": the
# administrators' addresses sort above the scanners', "below": below them): scanners from new
# addresses whose SYN-ACK goes into the tunnel and which give up after 0.5 s, and an
# administrator from a new address every 3 s (giving up after 15 s): "wave RATE ORDER admin
# <ms>" or "wave RATE ORDER missed", then "wave RATE ORDER starts <max per second> <mean per
# second>" (route.exe runs), "wave RATE ORDER cpu <ticks> <hz>" (the service process) and
# "wave RATE ORDER returning <ms>|missed" (an administrator connected and gone before the
# wave, back from the same address halfway through it).
# Flood: spoofed SYNs from 200 new addresses a second for 10 s, then a new client: "flood starts
# ...", "flood memory <pagefile after the start> <peak pagefile>" (bytes, the peak over the
# whole run, waves included), "flood newcomer <ms>".
#
# The service must already be installed in the prefix with a silent child; it is stopped and
# the prefix's Wine server ended afterwards.
#
# usage: route_attack_netns.sh PREFIX BIN-DIR DATA-DIR WORKDIR [--quick]
set -euo pipefail

prefix=$1 bin=$2 data=$3 work=$4 quick=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
support=$here/../tests/support
source "$support/netns.sh"
netns_usable || { echo "SKIPPED: network namespaces need root and 'ip netns'" >&2; exit 3; }

svc=ka-svc-$$ cli=ka-cli-$$ veth_svc=kas$$ veth_cli=kac$$ tun=katun$$ tun_peer=katup$$
system32=$prefix/drive_c/windows/system32
record=$system32/route-record.txt
server=10.76.0.2
wave_seconds=30
[ "$quick" = --quick ] && wave_seconds=10
pids=()
export WINEPREFIX=$prefix WINEDEBUG=-all

probe() { ip netns exec "$svc" wine "$bin/bench_probe.exe" "$@" | tr -d '\r'; }
cleanup() {
    local status=$?
    probe stop KestruneConnectSingBox >/dev/null 2>&1 || true
    rm -f "$system32/route-delay-ms.txt" "$system32/route-hold.txt"
    pkill -f "rdp_burst.py $server" || true
    end_netns_run "$svc" "$cli" "${pids[@]}"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
die() {
    echo "route attack: $*" >&2
    tail -5 "$data/sing-box-service.log" >&2 2>/dev/null || true
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
cp "$bin/route_stand_in.exe" "$system32/route.exe"
rm -f "$record" "$system32/route-delay-ms.txt" "$system32/route-hold.txt"
wineserver -k 2>/dev/null || true
make_rdp_link "$svc" "$cli" "$veth_svc" "$veth_cli" 10.76.0
make_tunnel "$svc" "$tun" "$tun_peer"
ip -n "$cli" route add local 5.8.0.0/16 dev lo
ip netns exec "$svc" sh -c 'echo 8192 >/proc/sys/net/ipv4/tcp_max_syn_backlog
    echo 8192 >/proc/sys/net/core/somaxconn'
ip netns exec "$svc" env RDP_BACKLOG=8192 python3 "$support/rdp_listener.py" \
    >"$work/listener.out" 2>&1 &
pids+=($!)
wait_for 10 grep -q listening "$work/listener.out" || die "the RDP listener did not start"
ip netns exec "$svc" wine "$bin/bench_probe.exe" sleep 3600000 >/dev/null 2>&1 &
pids+=($!)

start_service() {
    rm -f "$data/sing-box-service.log"
    probe start KestruneConnectSingBox >"$work/service.pid" || die "the service did not start"
    wait_for 30 grep -q "protection enabled via 10.76.0.1" "$data/sing-box-service.log" ||
        die "route protection did not start on the namespace's route"
}
adds() { grep -c " ADD " "$record" 2>/dev/null || echo 0; }
# clients FIRST COUNT HOLD_S: COUNT clients from 5.8.FIRST.1 on, at once, held HOLD_S.
clients() {
    local sources=() i
    for ((i = 0; i < $2; i++)); do sources+=("5.8.$(($1 + i / 250)).$((1 + i % 250))"); done
    ip netns exec "$cli" python3 "$support/rdp_burst.py" "$server" 30 "$3" 0 "${sources[@]}"
}
stop_ms() { probe stop KestruneConnectSingBox | sed -n 's/^stop_ms=\([0-9]*\).*/\1/p'; }

# --- stops with 1 and 256 owned routes, route.exe taking 250 ms; then every deletion hanging
for routes in 1 256 hung; do
    rm -f "$record" "$system32/route-delay-ms.txt" "$system32/route-hold.txt"
    start_service
    count=$([ "$routes" = 1 ] && echo 1 || echo 256)
    clients 100 "$count" 600 >"$work/stop-clients-$routes.out" &
    holder=$!
    wait_for 120 eval '[ "$(adds)" -ge '"$count"' ]' || die "$count clients did not get routes"
    sleep 1
    if [ "$routes" = hung ]; then
        printf DELETE >"$system32/route-hold.txt"
    else
        echo 250 >"$system32/route-delay-ms.txt"
    fi
    took=$(stop_ms)
    left=$(sed -n 's/^RDP route protection left \([0-9]*\) host routes in place$/\1/p' \
        "$data/sing-box-service.log")
    echo "stop $routes $took left ${left:-0}"
    # The clients go too, or the next run would find them connected.
    pkill -f "rdp_burst.py $server" || true
    wait "$holder" 2>/dev/null || true
done
rm -f "$record" "$system32/route-delay-ms.txt" "$system32/route-hold.txt"

# --- the takeover, the routes carried out for real
ip netns exec "$svc" python3 "$support/route_follower.py" "$record" "$work/applied.txt" \
    >"$work/follower.out" 2>&1 &
pids+=($!)
start_service
take_default_route "$svc" "$tun"
pid=$(sed -n 's/^pid=//p' "$work/service.pid")
sleep 2
idle=$(probe memory "$pid" | sed -n 's/.* pagefile=\([0-9]*\).*/\1/p')
# connect_once SOURCE: ms until connected, or "missed"
connect_once() {
    ip netns exec "$cli" python3 "$support/rdp_burst.py" "$server" 15 0 0 "$1" |
        sed -n 's/^connected [0-9.]* \([0-9]*\)$/\1/p;s/^missed .*/missed/p'
}
for i in 1 2 3 4 5; do
    echo "lone $(connect_once "5.8.199.$i")"
    sleep 0.3
done

# per_second FILE: max and mean of the per-second growth of route.exe runs sampled into FILE
per_second() {
    awk 'NR > 1 { d = $1 - prev; if (d > max) max = d; sum += d; n++ } { prev = $1 }
         END { printf "%d %.1f", max, n ? sum / n : 0 }' "$1"
}
sample_runs() { # sample_runs FILE SECONDS
    local i
    for ((i = 0; i <= $2; i++)); do
        grep -c "route.exe" "$record" 2>/dev/null >>"$1" || echo 0 >>"$1"
        sleep 1
    done
}
service_unix=$(pgrep -f 'KestruneConnectSingBox\.exe' | head -1)
ticks() { awk '{print $14 + $15}' "/proc/$service_unix/stat"; }

# --- scan waves, each rate twice: the administrators' addresses above the scanners', then
# below them (an attacker picks its addresses; a fair service must not care). A returning
# administrator connects and goes before each wave, and comes back from the same address in
# the middle of it.
block=10
run=0
for rate in 10 50; do
    for order in above below; do
        scanners=()
        for ((i = 0; i < rate * wave_seconds; i++)); do
            scanners+=("5.8.$((block + i / 250)).$((1 + i % 250))")
        done
        block=$((block + 20))
        admins=()
        octet=$([ "$order" = above ] && echo $((190 + run)) || echo $((1 + run)))
        for ((i = 1; i <= wave_seconds / 3; i++)); do admins+=("5.8.$octet.$i"); done
        returning=5.8.$((180 + run)).1
        run=$((run + 1))
        connect_once "$returning" >/dev/null
        before=$(ticks)
        sample_runs "$work/runs-$rate-$order" "$wave_seconds" &
        sampler=$!
        ip netns exec "$cli" python3 "$support/rdp_burst.py" "$server" 0.5 0 $((1000 / rate)) \
            "${scanners[@]}" >"$work/scanners-$rate-$order.out" &
        scan=$!
        ( sleep $((wave_seconds / 2)); echo "wave $rate $order returning $(connect_once "$returning")" \
            >"$work/returning-$rate-$order.out" ) &
        back=$!
        # Halfway through, what reading the listening rows with their owners costs now.
        ( sleep $((wave_seconds / 2)); probe listeners 3 |
            sed "s/^listeners_ms=\([0-9.]*\) basic_ms=\([0-9.]*\)/wave $rate $order listeners \1 \2/" \
            >"$work/listeners-$rate-$order" ) &
        listeners=$!
        sleep 1
        ip netns exec "$cli" python3 "$support/rdp_burst.py" "$server" 15 0 3000 "${admins[@]}" \
            >"$work/admins-$rate-$order.out"
        wait "$scan" "$sampler" "$back" "$listeners" || true
        echo "wave $rate $order cpu $(($(ticks) - before)) $(getconf CLK_TCK)"
        echo "wave $rate $order starts $(per_second "$work/runs-$rate-$order")"
        sed -n "s/^connected [0-9.]* \([0-9]*\)$/wave $rate $order admin \1/p;s/^missed .*/wave $rate $order missed/p" \
            "$work/admins-$rate-$order.out"
        cat "$work/returning-$rate-$order.out" "$work/listeners-$rate-$order"
        sleep 25 # the wave's half-open peers age out
    done
done

# --- flood (the memory reference was taken right after the start)
sample_runs "$work/runs-flood" 12 &
sampler=$!
ip netns exec "$cli" python3 "$here/syn_flood.py" "$server" 5.9.0.1 200 10 >"$work/flood.out"
newcomer=$(connect_once 5.8.198.1)
wait "$sampler" || true
peak=$(probe memory "$pid" | sed -n 's/.*peak_pagefile=\([0-9]*\).*/\1/p')
echo "flood starts $(per_second "$work/runs-flood")"
echo "flood memory $idle $peak"
echo "flood newcomer $newcomer"
