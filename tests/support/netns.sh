# Sourced by the tests that build network namespaces. Exits 0 with a SKIPPED line when this
# machine cannot make them (not root, or no 'ip netns'); the tests run as root here and in CI.
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
