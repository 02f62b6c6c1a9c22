#include "routes/physical/ipv6_routes.h"

namespace kestrune::routes {

Result<PhysicalRoute6> physical_ipv6_route(const Ipv6RouteTable& table,
                                           const std::optional<PhysicalRoute6>& current) {
    return physical_route_in<PhysicalRoute6>(
        table, current ? std::optional(current->next_hop) : std::nullopt,
        current ? current->interface_index : 0, "IPv6");
}

std::optional<Ipv6Route> best_ipv6_route(const Ipv6RouteTable& table, const Ipv6Address& address) {
    const Ipv6Route* best = nullptr;
    for (const Ipv6Route& route : table) {
        if (!address.in_prefix(route.destination, route.prefix_length)) {
            continue;
        }
        if (best == nullptr || route.prefix_length > best->prefix_length ||
            (route.prefix_length == best->prefix_length && route.metric < best->metric)) {
            best = &route;
        }
    }
    return best == nullptr ? std::nullopt : std::optional<Ipv6Route>(*best);
}

bool ipv6_host_route_in_place(const Ipv6RouteTable& table, const Ipv6Address& peer,
                              const PhysicalRoute6& route) {
    const std::optional<Ipv6Route> best = best_ipv6_route(table, peer);
    // Metric and origin do not matter: any host route through the physical router serves.
    return best && best->prefix_length == 128 && best->next_hop == route.next_hop &&
           best->interface_index == route.interface_index;
}

bool ipv6_reached_by_default(const Ipv6RouteTable& table, const Ipv6Address& peer,
                             const PhysicalRoute6& route) {
    const std::optional<Ipv6Route> best = best_ipv6_route(table, peer);
    return best && (best->prefix_length <= 1 || ipv6_host_route_in_place(table, peer, route));
}

} // namespace kestrune::routes
