#include "routes/physical/ipv6_route_table.h"

#include <algorithm>

#include "routes/physical/system_route_table.h"

namespace kestrune::routes {
namespace {

Ipv6Address address_of(const SOCKADDR_INET& address) {
    Ipv6Address::Bytes bytes{};
    std::copy_n(address.Ipv6.sin6_addr.s6_addr, bytes.size(), bytes.begin());
    return Ipv6Address(bytes);
}

} // namespace

Result<Ipv6RouteTable> read_ipv6_route_table() {
    Ipv6RouteTable routes;
    const Status read = for_each_system_route(
        AF_INET6, [&routes](const MIB_IPFORWARD_ROW2& row, const InterfaceState& state) {
            routes.push_back({address_of(row.DestinationPrefix.Prefix),
                              row.DestinationPrefix.PrefixLength, address_of(row.NextHop),
                              row.InterfaceIndex, row.Metric + state.metric, state.tunnel,
                              state.connected});
        });
    if (!read) {
        return fail(read.error());
    }
    return routes;
}

} // namespace kestrune::routes
