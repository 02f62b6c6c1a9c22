# Sourced by the tests that build network namespaces. Exits 0 with a SKIPPED line when this
# machine cannot make them (not root, or no 'ip netns'); the tests run as root here and in CI.
# The benchmarks, which report a skip instead, ask netns_usable.
netns_usable() {
    [ "$(id -u)" = 0 ] && ip netns list >/dev/null 2>&1
}

require_netns() {
    if [ "$(id -u)" != 0 ]; then
        echo "SKIPPED: network namespaces need root"
        exit 0
    fi
    if ! ip netns list >/dev/null 2>&1; then
        echo "SKIPPED: 'ip netns' is not available"
        exit 0
    fi
}

# make_rdp_link SVC CLI VETH_SVC VETH_CLI NET PUBLIC...
# Two namespaces joined by a veth pair: SVC gets NET.2/24 and a default route via NET.1 (its
# "physical" gateway), CLI gets NET.1/24 plus each PUBLIC address as a /32, so clients can
# connect to SVC from public addresses that exist only inside these namespaces.
make_rdp_link() {
    local svc=$1 cli=$2 veth_svc=$3 veth_cli=$4 net=$5
    shift 5
    ip netns add "$svc"
    ip netns add "$cli"
    ip link add "$veth_svc" type veth peer name "$veth_cli"
    ip link set "$veth_svc" netns "$svc"
    ip link set "$veth_cli" netns "$cli"
    ip -n "$svc" link set lo up
    ip -n "$cli" link set lo up
    ip -n "$svc" addr add "$net.2/24" dev "$veth_svc"
    ip -n "$cli" addr add "$net.1/24" dev "$veth_cli"
    local address
    for address in "$@"; do
        ip -n "$cli" addr add "$address/32" dev "$veth_cli"
    done
    ip -n "$svc" link set "$veth_svc" up
    ip -n "$cli" link set "$veth_cli" up
    ip -n "$svc" route add default via "$net.1" dev "$veth_svc"
}

# end_netns_run SVC CLI PID...
# Ends the processes, the Wine server of $WINEPREFIX (it runs inside SVC, but its socket lives
# in the file system, so it can be reached from here as well) and both namespaces.
end_netns_run() {
    local svc=$1 cli=$2 pid
    shift 2
    for pid in "$@"; do
        kill "$pid" 2>/dev/null || true
    done
    wineserver -k 2>/dev/null || true
    ip netns del "$svc" 2>/dev/null || true
    ip netns del "$cli" 2>/dev/null || true
}

die() {
    echo "FAILED: $*"
    exit 1
}

# Waits up to $1 seconds for the command in the remaining arguments to succeed.
wait_for() {
    local limit=$1 i
    shift
    for ((i = 0; i < limit * 10; i++)); do
        if "$@"; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

windows_path() { echo "Z:${1//\//\\}"; }

# boot_prefix PREFIX [RUNNER...]: wineboot -u for $WINEPREFIX = PREFIX, run through RUNNER (say
# "ip netns exec NS"). A first boot cut short leaves a prefix without kernel32.dll, and every
# later run in it fails ("could not load kernel32.dll") until it is removed: such a prefix is
# made anew once.
boot_prefix() {
    local prefix=$1 attempt
    shift
    for attempt in 1 2; do
        "$@" wineboot -u >/dev/null 2>&1 || true
        [ ! -f "$prefix/drive_c/windows/system32/kernel32.dll" ] || return 0
        echo "the Wine prefix $prefix is incomplete (boot $attempt); making it anew" >&2
        wineserver -k 2>/dev/null || true
        rm -rf "$prefix"
    done
    return 1
}

# make_tunnel SVC TUN PEER
# A stand-in for a TUN proxy's adapter inside SVC: a veth pair whose end TUN, without ARP (as a
# TUN adapter), sends what is routed into it straight to PEER, which has no address, and since
# SVC forwards nothing, drops it. Reverse-path filtering is switched off in SVC, as Windows has
# none: otherwise a SYN from a peer whose return route leads into the tunnel would be dropped
# on arrival, and sessions would stall for a reason Windows does not have.
make_tunnel() {
    local svc=$1 tun=$2 peer=$3
    ip -n "$svc" link add "$tun" type veth peer name "$peer"
    ip -n "$svc" link set "$tun" arp off
    ip -n "$svc" link set "$peer" up
    ip -n "$svc" link set "$tun" up
    # /proc/sys/net shows the namespace of the process that reads it.
    ip netns exec "$svc" sh -c 'for f in /proc/sys/net/ipv4/conf/*/rp_filter; do echo 0 >"$f"; done
        echo 0 >/proc/sys/net/ipv4/ip_forward'
}

# take_default_route SVC TUN
# The takeover as a TUN proxy makes it on Windows: two half-space routes through the tunnel,
# more specific than the default route, which stays in place.
take_default_route() {
    ip -n "$1" route add 0.0.0.0/1 dev "$2"
    ip -n "$1" route add 128.0.0.0/1 dev "$2"
}
