#include "routes/physical/best_route.h"

#include "win/os_error_text.h"

namespace kestrune::routes {

Result<PhysicalRoute> physical_route_from_best(std::uint32_t code, const BestRoute& row) {
    if (code != 0) {
        return fail("GetBestRoute failed: " + win::code_text(code));
    }
    // A directly attached destination has next hop 0 as well: no gateway to pin routes to.
    if (row.next_hop == Ipv4Address{} || row.interface_index == 0) {
        return fail("physical IPv4 default route has no gateway");
    }
    return PhysicalRoute{row.next_hop, row.interface_index};
}

Result<bool> host_route_from_best(Ipv4Address peer, const PhysicalRoute& route, std::uint32_t code,
                                  const BestRoute& row) {
    if (code != 0) {
        return fail("GetBestRoute(" + peer.to_string() + ") failed: " + win::code_text(code));
    }
    // Metric, type, protocol and age do not matter: any host route through the physical
    // gateway and interface serves, whoever added it.
    return row.destination == peer && row.mask == Ipv4Address{255, 255, 255, 255} &&
           row.next_hop == route.gateway && row.interface_index == route.interface_index;
}

Result<bool> reached_by_default_from_best(Ipv4Address peer, const PhysicalRoute& route,
                                          std::uint32_t code, const BestRoute& row) {
    const Result<bool> own_host_route = host_route_from_best(peer, route, code, row);
    if (!own_host_route) {
        return own_host_route;
    }
    // Windows keeps masks contiguous, so these two are exactly the prefix lengths 0 and 1.
    return *own_host_route || row.mask == Ipv4Address{} || row.mask == Ipv4Address{128, 0, 0, 0};
}

} // namespace kestrune::routes
