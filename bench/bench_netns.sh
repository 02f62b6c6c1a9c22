# Sourced by the benchmarks that run the installed service in network namespaces, after
# tests/support/netns.sh: the namespaces' names and the traps that stop the service and remove
# the namespaces however the run ends.
#
# bench_netns_setup NAME TAG: NAME for messages; TAG makes the names of namespaces and links.
# Expects prefix, bin and data to be set; sets svc, cli, veth_svc, veth_cli, tun, tun_peer,
# system32, record and pids.
bench_netns_setup() {
    bench_name=$1
    svc=k$2-svc-$$ cli=k$2-cli-$$ veth_svc=k$2s$$ veth_cli=k$2c$$ tun=k$2tun$$ tun_peer=k$2tup$$
    system32=$prefix/drive_c/windows/system32
    record=$system32/route-record.txt
    pids=()
    export WINEPREFIX=$prefix WINEDEBUG=-all
    trap bench_netns_cleanup EXIT
    trap 'exit 143' TERM INT
}

bench_netns_cleanup() {
    local status=$?
    ip netns exec "$svc" wine "$bin/bench_probe.exe" stop KestruneConnectSingBox \
        >/dev/null 2>&1 || true
    end_netns_run "$svc" "$cli" "${pids[@]}"
    exit "$status"
}

die() {
    echo "$bench_name: $*" >&2
    tail -5 "$data/sing-box-service.log" >&2 2>/dev/null || true
    exit 1
}
