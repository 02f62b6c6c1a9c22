#include "routes/physical/host_routes.h"

namespace kestrune::routes {

std::optional<HostRoute> host_route_through(const IpAddress& peer, const PhysicalRoutes& via) {
    if (!via.covers(peer)) {
        return std::nullopt;
    }
    if (peer.is_ipv6()) {
        return HostRoute{peer, via.ipv6->next_hop, via.ipv6->interface_index};
    }
    return HostRoute{peer, via.ipv4->gateway, via.ipv4->interface_index};
}

std::optional<bool> HostRouteTables::lists(const HostRoute& route) const {
    const bool family6 = route.destination.is_ipv6();
    if (family6 ? !ipv6 : !ipv4) {
        return std::nullopt;
    }
    if (route.next_hop.is_ipv6() != family6) {
        return false;
    }
    return family6 ? ipv6->contains(
                         {route.destination.ipv6(), route.next_hop.ipv6(), route.interface_index})
                   : ipv4->contains(
                         {route.destination.ipv4(), route.next_hop.ipv4(), route.interface_index});
}

} // namespace kestrune::routes
