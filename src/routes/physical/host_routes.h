#pragma once
// The host routes (/32 and /128) of a routing table, as the worker checks its own routes
// against them. Windows deletes the routes through an interface that goes down, even for a
// moment, and anyone may delete a route; route.exe's exit code is the only word that an ADD
// took. So each reading of the table is also the proof that every host route the worker
// counts on is still there.

#include <algorithm>
#include <compare>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

#include "routes/addresses/ip_address.h"
#include "routes/physical/physical_route.h"
#include "routes/physical/route_table.h"

namespace kestrune::routes {

// A host route as route.exe's ADD names it: destination, next hop, interface.
template <class Address> struct HostRow {
    Address destination;
    Address next_hop;
    std::uint32_t interface_index = 0;
    friend auto operator<=>(const HostRow&, const HostRow&) = default;
};

// One family's host routes, sorted, so each of the worker's routes is found in O(log n). Only
// routes through a router are kept: the worker adds no other kind, and most host routes of a
// Windows table are the machine's own addresses and broadcasts, on the link itself.
template <class Address> class HostRoutes {
  public:
    HostRoutes() = default;
    explicit HostRoutes(const RouteTable<Address>& table) {
        constexpr unsigned HOST_PREFIX = std::is_same_v<Address, Ipv6Address> ? 128 : 32;
        for (const TableRoute<Address>& route : table) {
            if (route.prefix_length == HOST_PREFIX && route.next_hop != Address{}) {
                rows_.push_back({route.destination, route.next_hop, route.interface_index});
            }
        }
        std::sort(rows_.begin(), rows_.end());
    }

    bool contains(const HostRow<Address>& row) const {
        return std::binary_search(rows_.begin(), rows_.end(), row);
    }

  private:
    std::vector<HostRow<Address>> rows_;
};

// A host route of either family, as the worker keeps it.
struct HostRoute {
    IpAddress destination;
    IpAddress next_hop;
    std::uint32_t interface_index = 0;
    friend auto operator<=>(const HostRoute&, const HostRoute&) = default;
};

// The row an ADD for `peer` through its family's route in `via` makes; none without that route.
std::optional<HostRoute> host_route_through(const IpAddress& peer, const PhysicalRoutes& via);

// Both families' host routes at one reading; a family whose table could not be read has none.
struct HostRouteTables {
    std::optional<HostRoutes<Ipv4Address>> ipv4;
    std::optional<HostRoutes<Ipv6Address>> ipv6;

    // Whether `route` is listed; none when its family's table was not read.
    std::optional<bool> lists(const HostRoute& route) const;
};

} // namespace kestrune::routes
