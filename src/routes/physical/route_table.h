#pragma once
// A copy of one family's routing table, as GetIpForwardTable2 lists it, and the choice of the
// physical default route in it. The choice is made again every few seconds while the service
// runs, with the proxy's own routes in the table: the proxy takes traffic over with two
// half-space routes (prefix length 1), which are no default route, or with a default route
// through its own adapter, which is a tunnel.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "win/result.h"

namespace kestrune::routes {

template <class Address> struct TableRoute {
    Address destination;
    unsigned prefix_length = 0;
    Address next_hop; // all zero for a route on the link itself
    std::uint32_t interface_index = 0;
    // The route's metric plus its interface's, which is what Windows compares.
    std::uint64_t metric = 0;
    // Teredo, 6to4, ISATAP, IP-HTTPS and TUN adapters such as a proxy's own.
    bool tunnel = false;
    // The interface is up and its state could be read: Windows sends nothing through a
    // disconnected adapter, whose routes may stay listed.
    bool connected = true;
};

template <class Address> using RouteTable = std::vector<TableRoute<Address>>;

// A default route that can carry host routes: a next hop to pin them to (a route on the link
// itself has none: a proxy's adapter without a tunnel's type can hold such a route with the
// lowest metric), on a connected interface that is no tunnel.
template <class Address> bool physical_candidate(const TableRoute<Address>& route) {
    return route.prefix_length == 0 && !route.tunnel && route.connected &&
           route.next_hop != Address{} && route.interface_index != 0;
}

// The default route Windows would take without the proxy: the candidate with the lowest
// metric. On a tie the one through `current` (next hop and interface) stays, so equal routes do
// not take turns; otherwise the first listed wins.
template <class Address>
const TableRoute<Address>* physical_default_route(const RouteTable<Address>& table,
                                                  const std::optional<Address>& current_next_hop,
                                                  std::uint32_t current_interface) {
    const TableRoute<Address>* chosen = nullptr;
    const auto is_current = [&](const TableRoute<Address>& route) {
        return current_next_hop && route.next_hop == *current_next_hop &&
               route.interface_index == current_interface;
    };
    for (const TableRoute<Address>& route : table) {
        if (!physical_candidate(route)) {
            continue;
        }
        if (chosen == nullptr || route.metric < chosen->metric ||
            (route.metric == chosen->metric && is_current(route) && !is_current(*chosen))) {
            chosen = &route;
        }
    }
    return chosen;
}

// The route of physical_default_route as a `Route` (next hop, interface index), or why there is
// none: "<family> default route has no gateway" when a connected default route leads to no
// router, "every <family> default route goes through a tunnel" when the only connected ones are
// tunnels' (the proxy's), "no <family> default route" otherwise.
template <class Route, class Address>
Result<Route> physical_route_in(const RouteTable<Address>& table,
                                const std::optional<Address>& current_next_hop,
                                std::uint32_t current_interface, const std::string& family) {
    if (const TableRoute<Address>* chosen =
            physical_default_route(table, current_next_hop, current_interface)) {
        return Route{chosen->next_hop, chosen->interface_index};
    }
    bool tunnels = false;
    for (const TableRoute<Address>& route : table) {
        if (route.prefix_length == 0 && route.connected) {
            if (!route.tunnel) {
                return fail(family + " default route has no gateway");
            }
            tunnels = true;
        }
    }
    return fail(tunnels ? "every " + family + " default route goes through a tunnel"
                        : "no " + family + " default route");
}

} // namespace kestrune::routes
