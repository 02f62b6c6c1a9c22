#pragma once
// The IPv6 side of route protection, decided over a copy of the routing table: the physical
// IPv6 default route found at start, and the longest-prefix match that says whether a peer's
// host route is in place or only a default route leads back to it. Windows answers those
// questions per address for IPv4 (GetBestRoute); for IPv6 the service reads the table
// (GetIpForwardTable2) and decides here, the same way on every platform and in tests.

#include <cstdint>
#include <optional>
#include <vector>

#include "routes/addresses/ipv6_address.h"
#include "routes/physical/route_table.h"
#include "win/result.h"

namespace kestrune::routes {

using Ipv6Route = TableRoute<Ipv6Address>;
using Ipv6RouteTable = RouteTable<Ipv6Address>;

struct PhysicalRoute6 {
    Ipv6Address next_hop; // usually the router's link-local address
    std::uint32_t interface_index = 0;
    friend bool operator==(const PhysicalRoute6&, const PhysicalRoute6&) = default;
};

// The ::/0 route of physical_default_route, `current` kept on a tie. Fails with "no IPv6 default
// route" when there is none, or "IPv6 default route has no gateway" when the chosen one leads
// to no router.
Result<PhysicalRoute6> physical_ipv6_route(const Ipv6RouteTable& table,
                                           const std::optional<PhysicalRoute6>& current = {});

// The route the system takes towards `address`: the longest matching prefix, then the lowest
// metric. None when nothing matches.
std::optional<Ipv6Route> best_ipv6_route(const Ipv6RouteTable& table, const Ipv6Address& address);

// Whether the best route to `peer` is a host route (/128) through `route`.
bool ipv6_host_route_in_place(const Ipv6RouteTable& table, const Ipv6Address& peer,
                              const PhysicalRoute6& route);
// Whether nothing of the peer's own leads back to it: the best route is the default route or a
// proxy's half-space route (prefix length 0 or 1), or the host route protection adds.
bool ipv6_reached_by_default(const Ipv6RouteTable& table, const Ipv6Address& peer,
                             const PhysicalRoute6& route);

} // namespace kestrune::routes
