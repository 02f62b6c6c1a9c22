#include "routes/physical/ipv6_route_table.h"
#include "routes/physical/physical_route_watch.h"
#include "routes/physical/system_route_table.h"

namespace kestrune::routes {
namespace {

template <class Route, class Table, class Choose>
Result<Route> reading(const Result<Table>& table, const std::optional<Route>& current,
                      Choose choose) {
    if (table) {
        return choose(*table, current);
    }
    if (current) {
        return *current;
    }
    return fail(table.error());
}

template <class Address>
std::optional<HostRoutes<Address>> hosts(const Result<RouteTable<Address>>& table) {
    return table ? std::optional(HostRoutes<Address>(*table)) : std::nullopt;
}

} // namespace

RouteReadings read_physical_routes(const PhysicalRoutes& current) {
    const auto ipv4 = read_ipv4_route_table();
    const auto ipv6 = read_ipv6_route_table();
    return {
        reading(ipv4, current.ipv4,
                [](const auto& table, const auto& now) { return physical_ipv4_route(table, now); }),
        reading(ipv6, current.ipv6,
                [](const auto& table, const auto& now) { return physical_ipv6_route(table, now); }),
        {hosts(ipv4), hosts(ipv6)}};
}

} // namespace kestrune::routes
