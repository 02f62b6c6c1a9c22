#include "routes/physical/physical_route_watch.h"

namespace kestrune::routes {
namespace {

// One family's step: the line for the change from `current` to `reading`, and the new value.
template <class Route>
void follow(std::optional<Route>& current, const Result<Route>& reading, std::string_view name,
            std::vector<std::string>& lines) {
    const std::string prefix = "RDP " + std::string(name) + "route protection ";
    if (!reading) {
        if (current) {
            lines.push_back(prefix + "suspended: " + reading.error());
            current.reset();
        }
        return;
    }
    if (!current) {
        lines.push_back(prefix + "enabled via " + route_text(*reading));
    } else if (!(*current == *reading)) {
        lines.push_back(prefix + "moved from " + route_text(*current) + " to " +
                        route_text(*reading));
    }
    current = *reading;
}

} // namespace

Result<PhysicalRoute> physical_ipv4_route(const RouteTable<Ipv4Address>& table,
                                          const std::optional<PhysicalRoute>& current) {
    return physical_route_in<PhysicalRoute>(
        table, current ? std::optional(current->gateway) : std::nullopt,
        current ? current->interface_index : 0, "IPv4");
}

std::string route_text(const PhysicalRoute& route) {
    return route.gateway.to_string() + " on interface " + std::to_string(route.interface_index);
}

std::string route_text(const PhysicalRoute6& route) {
    return route.next_hop.to_string() + " on interface " + std::to_string(route.interface_index);
}

std::vector<std::string> PhysicalRouteWatch::refresh(std::uint64_t now, const Read& read) {
    if (!read || now < read_at_ + READ_INTERVAL_SECONDS) {
        return {};
    }
    read_at_ = now;
    return take(read(routes_));
}

std::vector<std::string> PhysicalRouteWatch::take(const RouteReadings& readings) {
    ++readings_;
    hosts_ = readings.hosts;
    std::vector<std::string> lines;
    follow(routes_.ipv4, readings.ipv4, "", lines);
    follow(routes_.ipv6, readings.ipv6, "IPv6 ", lines);
    return lines;
}

} // namespace kestrune::routes
