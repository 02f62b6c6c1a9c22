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
