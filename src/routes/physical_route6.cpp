#include "routes/ipv6_route_table.h"
#include "routes/physical_route.h"

namespace kestrune::routes {

Result<PhysicalRoute6> find_physical_route6() {
    const Result<Ipv6RouteTable> table = read_ipv6_route_table();
    if (!table) {
        return fail(table.error());
    }
    return physical_ipv6_route(*table);
}

Result<bool> host_route_in_place(const Ipv6Address& peer, const PhysicalRoute6& route) {
    const Result<Ipv6RouteTable> table = read_ipv6_route_table();
    if (!table) {
        return fail(table.error());
    }
    return ipv6_host_route_in_place(*table, peer, route);
}

Result<bool> reached_by_default_route(const Ipv6Address& peer, const PhysicalRoute6& route) {
    const Result<Ipv6RouteTable> table = read_ipv6_route_table();
    if (!table) {
        return fail(table.error());
    }
    return ipv6_reached_by_default(*table, peer, route);
}

} // namespace kestrune::routes
