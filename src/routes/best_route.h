#pragma once
// What the two GetBestRoute lookups make of the returned row; the OS call itself is in
// physical_route.cpp.

#include <cstdint>

#include "routes/physical_route.h"

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

} // namespace kestrune::routes
