#pragma once
// What the two GetBestRoute lookups make of the returned row; the OS call itself is in
// physical_route.cpp.

#include <cstdint>

#include "routes/physical/physical_route.h"

namespace kestrune::routes {

// The four fields of a MIB_IPFORWARDROW that are ever looked at.
struct BestRoute {
    Ipv4Address destination;
    Ipv4Address mask;
    Ipv4Address next_hop;
    std::uint32_t interface_index = 0;
};

inline constexpr Ipv4Address PHYSICAL_ROUTE_PROBE{8, 8, 8, 8};

// `code` is GetBestRoute's return value; `row` is meaningful only when it is 0.
Result<PhysicalRoute> physical_route_from_best(std::uint32_t code, const BestRoute& row);
Result<bool> host_route_from_best(Ipv4Address peer, const PhysicalRoute& route, std::uint32_t code,
                                  const BestRoute& row);
// Whether nothing of the peer's own leads back to it: the best route is a default or half-space
// route (prefix length 0 or 1: the physical default route before the proxy runs, the proxy's
// 0.0.0.0/1 and 128.0.0.0/1 after), or a host route through `route`, the one protection itself
// adds (still there when the peer reconnects, or left behind by an earlier run). Anything else
// is the peer's own subnet, a VPN's or an overlay network's route.
Result<bool> reached_by_default_from_best(Ipv4Address peer, const PhysicalRoute& route,
                                          std::uint32_t code, const BestRoute& row);

} // namespace kestrune::routes
