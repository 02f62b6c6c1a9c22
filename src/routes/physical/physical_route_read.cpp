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

} // namespace

RouteReadings read_physical_routes(const PhysicalRoutes& current) {
    return {
        reading(read_ipv4_route_table(), current.ipv4,
                [](const auto& table, const auto& now) { return physical_ipv4_route(table, now); }),
        reading(read_ipv6_route_table(), current.ipv6, [](const auto& table, const auto& now) {
            return physical_ipv6_route(table, now);
        })};
}

} // namespace kestrune::routes
