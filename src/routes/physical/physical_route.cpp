#include "routes/physical/physical_route.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include "routes/physical/best_route.h"

namespace kestrune::routes {
namespace {

struct Lookup {
    std::uint32_t code;
    BestRoute row;
};

Lookup best_route_to(Ipv4Address destination) {
    MIB_IPFORWARDROW row;
    ZeroMemory(&row, sizeof(row));
    const DWORD code = GetBestRoute(destination.network_order(), 0, &row);
    return {code,
            {Ipv4Address::from_network_order(row.dwForwardDest),
             Ipv4Address::from_network_order(row.dwForwardMask),
             Ipv4Address::from_network_order(row.dwForwardNextHop), row.dwForwardIfIndex}};
}

} // namespace

Result<PhysicalRoute> find_physical_route() {
    const Lookup lookup = best_route_to(PHYSICAL_ROUTE_PROBE);
    return physical_route_from_best(lookup.code, lookup.row);
}

Result<bool> host_route_in_place(Ipv4Address peer, const PhysicalRoute& route) {
    const Lookup lookup = best_route_to(peer);
    return host_route_from_best(peer, route, lookup.code, lookup.row);
}

Result<bool> reached_by_default_route(Ipv4Address peer, const PhysicalRoute& route) {
    const Lookup lookup = best_route_to(peer);
    return reached_by_default_from_best(peer, route, lookup.code, lookup.row);
}

} // namespace kestrune::routes
