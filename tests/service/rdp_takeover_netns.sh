#!/bin/bash
# RDP sessions across a proxy's takeover of the default route, with the whole service under
# Wine's service control manager, inside network namespaces made here and removed again:
#
#   service namespace  veth 10.79.0.2/24, default route via 10.79.0.1 (the physical gateway),
#                      an echoing RDP listener on :3389, a tunnel adapter stand-in, and a Wine
#                      server of its own running the service (sing-box stand-in as child)
#   client namespace   veth 10.79.0.1/24 plus the public addresses 5.6.10.1 and 5.6.10.2 and
#                      the private address 192.168.79.1; each session sends a probe every
#                      100 ms and records how long it has gone without an echo
#
# The route.exe stand-in only records; route_follower.py carries each recorded command out in
# the service namespace's routing table. After the service has started its child, the proxy's
# takeover is made: 0.0.0.0/1 and 128.0.0.0/1 into the tunnel, which swallows them. Then:
#   - the public session connected before the takeover never goes 1 s without an echo;
#   - the private session (never protected) stalls: the takeover does cut sessions off;
#   - a public client connecting after the takeover gets in within a few seconds (its SYN-ACK
#     first goes into the tunnel, the service sees the half-open connection and adds its route,
#     a retransmission gets through);
#   - after `sc stop` the protected session stalls too: its route was deleted.
# With "late-route" the service starts as after a reboot whose network is not ready yet: the
# service namespace has no default route at first. The service must log its waiting line (once),
# report running and start no child; three seconds later the default route appears, and it must
# go on to protect the sessions as above, without ever giving protection up.
# Nothing leaves the machine: every address exists only in these namespaces.
#
# usage: rdp_takeover_netns.sh BIN_DIR WINEPREFIX WORKDIR [late-route]
set -euo pipefail

bin=$1 prefix=$2 work=$3 mode=${4:-}

support=$(cd "$(dirname "$0")/../support" && pwd)
source "$support/netns.sh"
case $mode in '' | late-route) ;; *) die "unknown mode '$mode'" ;; esac
require_netns

svc=kt-svc-$$ cli=kt-cli-$$ veth_svc=kts$$ veth_cli=ktc$$ tun=ktun$$ tun_peer=ktup$$
protected=5.6.10.1 late=5.6.10.2 private=192.168.79.1
service=KestruneConnectSingBox
system32=$prefix/drive_c/windows/system32
record=$system32/route-record.txt
applied=$work/applied.txt
data_dirs=("$prefix/drive_c/users/Public/KestruneConnect" "$prefix/drive_c/ProgramData/KestruneConnect")
pids=()
export WINEPREFIX=$prefix WINEDEBUG=-all

in_svc() { ip netns exec "$svc" "$@"; }
log_text() { cat "${data_dirs[@]/%//sing-box-service.log}" 2>/dev/null || true; }

cleanup() {
    local status=$?
    in_svc wine sc stop "$service" >/dev/null 2>&1 || true
    end_netns_run "$svc" "$cli" "${pids[@]}"
    if [ "$status" != 0 ]; then
        echo "--- route.exe record"; cat "$record" 2>/dev/null || true
        echo "--- routes applied"; cat "$applied" 2>/dev/null || true
        echo "--- log"; log_text
        local f
        for f in "$work"/*.out; do
            echo "--- ${f##*/}: $(tr '\n' ' ' <"$f")"
        done
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# --- a session per client address; gap files hold one "ms without an echo" per 100 ms
connect() {
    ip netns exec "$cli" python3 "$support/rdp_client.py" "$1" 10.79.0.2 "$work/gaps-$1" 60 \
        >"$work/client-$1.out" 2>&1 &
    pids+=($!)
}
connected() { grep -q '^connected' "$work/client-$1.out"; }
samples() { wc -l <"$work/gaps-$1" 2>/dev/null || echo 0; }
last_gap() { local gap; gap=$(tail -1 "$work/gaps-$1" 2>/dev/null) || true; echo "${gap:-0}"; }
# The longest gap recorded after sample $2 of session $1.
longest_gap_after() { tail -n +$(($2 + 1)) "$work/gaps-$1" | sort -n | tail -1; }
# A session is stalled once it has gone 3 s without an echo.
stalled() { [ "$(last_gap "$1")" -ge 3000 ]; }
# Echoes flow: the latest sample shows an echo within the last 500 ms.
flowing() { connected "$1" && [ "$(samples "$1")" -gt 0 ] && [ "$(last_gap "$1")" -lt 500 ]; }
has_route() { in_svc ip route show "$1/32" | grep -q "via 10.79.0.1 dev $veth_svc"; }
applied() { grep -qx "$1 $2 ok" "$applied" 2>/dev/null; }
# The child's process inside the service namespace (the keeper has another image name).
child_process() {
    local pid
    for pid in $(ip netns pids "$svc"); do
        tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qi 'sing-box\.exe' && return 0
    done
    return 1
}
service_state() { in_svc wine sc query "$service" 2>/dev/null | tr -d '\r' | grep -q "STATE.*$1"; }

# --- work folder, the service beside the sing-box stand-in, the route.exe stand-in
rm -rf "$work"
mkdir -p "$work/install"
cp "$bin/$service.exe" "$work/install/"
cp "$bin/sing_box_stand_in.exe" "$work/install/sing-box.exe"
echo '{"run_ms": "forever"}' >"$work/keeper.json"

# --- namespaces, the physical link, the tunnel stand-in (no takeover yet)
wineserver -k 2>/dev/null || true
make_rdp_link "$svc" "$cli" "$veth_svc" "$veth_cli" 10.79.0 "$protected" "$late" "$private"
make_tunnel "$svc" "$tun" "$tun_peer"
[ "$mode" = late-route ] && ip -n "$svc" route del default

ip netns exec "$svc" python3 "$support/rdp_listener.py" >"$work/listener.out" 2>&1 &
pids+=($!)
wait_for 10 grep -q listening "$work/listener.out" || die "listener did not start"

# --- Wine inside the service namespace; a keeper holds the Wine server (and so the service
# control manager) up, since Wine stops services soon after its last ordinary process ends
mkdir -p "$prefix"
in_svc wineboot -u >/dev/null 2>&1 || true
[ -d "$system32" ] || die "no Wine prefix at $prefix"
KESTRUNE_STAND_IN_CONFIG=$(windows_path "$work/keeper.json") \
    ip netns exec "$svc" wine "$bin/sing_box_stand_in.exe" >"$work/keeper.out" 2>&1 &
pids+=($!)
cp "$bin/route_stand_in.exe" "$system32/route.exe"
rm -f "$record" "$system32/route-exit-code.txt"
# Services get PROGRAMDATA=C:\users\Public or C:\ProgramData under Wine: configure both.
for dir in "${data_dirs[@]}"; do
    mkdir -p "$dir"
    rm -f "$dir"/sing-box-service.log*
    echo '{"steps": [{"text": "proxy running\n"}], "run_ms": "forever"}' >"$dir/config.json"
done
in_svc wine sc stop "$service" >/dev/null 2>&1 || true
in_svc wine sc delete "$service" >/dev/null 2>&1 || true
in_svc wine sc create "$service" binPath= "$(windows_path "$work/install/$service.exe")" \
    >/dev/null || die "sc create failed"

ip netns exec "$svc" python3 "$support/route_follower.py" "$record" "$applied" >"$work/follower.out" 2>&1 &
pids+=($!)

# --- the service starts, finds the physical route (late-route: waits for it) and starts its child
waiting="RDP route protection waiting for a physical IPv4 default route: "
in_svc wine sc start "$service" >/dev/null || die "sc start failed"
if [ "$mode" = late-route ]; then
    wait_for 60 eval 'log_text | grep -q "^$waiting"' || die "the service did not wait for the route"
    service_state RUNNING || die "the service does not report running while it waits"
    sleep 3 # the network comes up late; what follows proves the service still waits
    log_text | grep -qx "proxy running" && die "the child started before the default route"
    child_process && die "a sing-box process runs before the default route"
    ip -n "$svc" route add default via 10.79.0.1 dev "$veth_svc"
fi
if_index=$(ip -n "$svc" -o link show "$veth_svc" | cut -d: -f1)
wait_for 60 eval 'log_text | grep -qx "RDP route protection enabled via 10.79.0.1 on interface $if_index"' ||
    die "route protection did not start on $veth_svc ($if_index)"
wait_for 60 eval 'log_text | grep -qx "proxy running"' || die "the service did not start its child"
# The probe for the child's process finds it now, so its absence while waiting meant something.
[ "$mode" = late-route ] && { child_process || die "no sing-box process in the service namespace"; }

# --- two sessions before the takeover: the public one gets its route, the private one none
connect "$protected"
connect "$private"
wait_for 30 flowing "$protected" || die "no echoes for $protected"
wait_for 30 flowing "$private" || die "no echoes for $private"
wait_for 30 applied ADD "$protected" || die "no route added for $protected"
has_route "$protected" || die "the route for $protected is not in the routing table"

# --- the takeover
take_default_route "$svc" "$tun"
mark=$(samples "$protected")
in_svc ip route get "$late" | grep -q "dev $tun" || die "the takeover does not route $late into $tun"

connect "$late"
wait_for 30 connected "$late" || die "$late did not connect after the takeover"
connect_ms=$(sed -n 's/^connected //p' "$work/client-$late.out")
# The route has to be in place before a SYN-ACK retransmission (1 s, 3 s, 7 s after the first)
# can pass; 7 s would mean the service missed two of them.
[ "$connect_ms" -lt 7000 ] || die "$late took $connect_ms ms to connect"
applied ADD "$late" || die "$late connected without a route of its own"
wait_for 30 flowing "$late" || die "no echoes for $late"

wait_for 60 stalled "$private" || die "the private session was not cut off by the takeover"
grep -q " $private " "$record" && die "the service ran route.exe for the private $private"
gap=$(longest_gap_after "$protected" "$mark")
[ "$gap" -lt 1000 ] || die "the protected session went $gap ms without an echo"

# --- the service stops and deletes its routes: the protected session is cut off now
in_svc wine sc stop "$service" >/dev/null || die "sc stop failed"
wait_for 60 service_state STOPPED || die "the service did not stop"
wait_for 30 applied DELETE "$protected" || die "no route deleted for $protected"
wait_for 30 applied DELETE "$late" || die "no route deleted for $late"
wait_for 60 stalled "$protected" || die "the protected session went on after the stop"
log_text | grep -qx "RDP route protection stopped" || die "no stop line in the log"
log_text | grep -q "RDP route protection unavailable" && die "the service gave route protection up"
if [ "$mode" = late-route ]; then
    [ "$(log_text | grep -c "^$waiting")" = 1 ] || die "the waiting line is not logged exactly once"
fi

echo "PASSED:${mode:+ waited for the late default route,}" \
    "protected session kept (longest gap $gap ms), private one cut off," \
    "late client in after $connect_ms ms, protection gone after the stop"
