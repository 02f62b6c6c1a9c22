#pragma once
// The physical IPv4 default route (next hop and interface) that every host route of route
// protection goes through. It is looked up at service start, before the proxy can move the
// default route; while the service runs the worker follows it in the routing table
// (physical_route_watch.h).

#include <cstdint>
#include <optional>

#include "routes/addresses/ip_address.h"
#include "routes/physical/ipv6_routes.h"
#include "win/result.h"

namespace kestrune::routes {

struct PhysicalRoute {
    Ipv4Address gateway;               // never 0.0.0.0 in a found route
    std::uint32_t interface_index = 0; // never 0 in a found route
    friend bool operator==(const PhysicalRoute&, const PhysicalRoute&) = default;
};

// The physical routes of both families found at start; protection runs for a family only when
// its route was found.
struct PhysicalRoutes {
    std::optional<PhysicalRoute> ipv4;
    std::optional<PhysicalRoute6> ipv6;
    bool covers(const IpAddress& address) const {
        return address.is_ipv6() ? ipv6.has_value() : ipv4.has_value();
    }
};

#ifdef _WIN32
// The route GetBestRoute picks towards 8.8.8.8, i.e. the one internet traffic takes now.
Result<PhysicalRoute> find_physical_route();

// Whether the system's best route to `peer` already is a host route through `route`.
Result<bool> host_route_in_place(Ipv4Address peer, const PhysicalRoute& route);

// Whether only the default route leads back to a private-use peer (see best_route.h).
Result<bool> reached_by_default_route(Ipv4Address peer, const PhysicalRoute& route);

// The same three for IPv6, each over a fresh copy of the routing table (ipv6_route_table.h).
Result<PhysicalRoute6> find_physical_route6();
Result<bool> host_route_in_place(const Ipv6Address& peer, const PhysicalRoute6& route);
Result<bool> reached_by_default_route(const Ipv6Address& peer, const PhysicalRoute6& route);
#endif

} // namespace kestrune::routes
