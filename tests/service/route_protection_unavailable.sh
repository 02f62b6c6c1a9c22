#!/bin/bash
# The whole service under Wine's service control manager on a machine without an IPv4 default
# route: a network namespace made here with only its loopback, and a Wine server of its own
# started inside it (Wine's network queries run in the Wine server's device process, so the
# server must live in the namespace). The service must log that route protection is
# unavailable and still run and stop its child.
#
# usage: route_protection_unavailable.sh BIN_DIR WINEPREFIX
set -euo pipefail

bin=$1 prefix=$2

source "$(dirname "$0")/../support/netns.sh"
require_netns

ns=kr-noroute-$$
export WINEPREFIX=$prefix WINEDEBUG=-all

cleanup() {
    local status=$?
    wineserver -k 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
    exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

wineserver -k 2>/dev/null || true
ip netns add "$ns"
ip -n "$ns" link set lo up
if ip -n "$ns" route show default | grep -q .; then
    echo "FAILED: the new namespace has a default route"
    exit 1
fi

mkdir -p "$prefix"
boot_prefix "$prefix" ip netns exec "$ns" || die "no Wine prefix at $prefix"
KESTRUNE_NO_DEFAULT_ROUTE=1 ip netns exec "$ns" wine "$bin/win_scm_tests.exe" \
    --gtest_filter='ServiceWithoutDefaultRoute.*'
