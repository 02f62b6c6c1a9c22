#include "routes/physical/ipv6_route_table.h"
#include "routes/physical/physical_route.h"

namespace kestrune::routes {
namespace {

// One decision about `peer` over a fresh copy of the table; a failed read names the peer, as
// GetBestRoute's failures do for IPv4.
Result<bool> decide(const Ipv6Address& peer, const PhysicalRoute6& route,
                    bool (*rule)(const Ipv6RouteTable&, const Ipv6Address&,
                                 const PhysicalRoute6&)) {
    const Result<Ipv6RouteTable> table = read_ipv6_route_table();
    if (!table) {
        return fail(table.error() + " (looking up " + peer.to_string() + ")");
    }
    return rule(*table, peer, route);
}

} // namespace

Result<PhysicalRoute6> find_physical_route6() {
    const Result<Ipv6RouteTable> table = read_ipv6_route_table();
    if (!table) {
        return fail(table.error());
    }
    return physical_ipv6_route(*table);
}

Result<bool> host_route_in_place(const Ipv6Address& peer, const PhysicalRoute6& route) {
    return decide(peer, route, ipv6_host_route_in_place);
}

Result<bool> reached_by_default_route(const Ipv6Address& peer, const PhysicalRoute6& route) {
    return decide(peer, route, ipv6_reached_by_default);
}

} // namespace kestrune::routes
