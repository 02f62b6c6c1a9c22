#pragma once
// Adds or deletes one host route through the physical route by running the system's
// route.exe invisibly and waiting for it, for a bounded time.

#include <chrono>
#include <string_view>

#include "routes/commands/route_pool.h"
#include "routes/physical/physical_route.h"

namespace kestrune::routes {

// `verb` is "ADD" or "DELETE". Succeeds only when route.exe exits with 0. A run that has not
// ended after `timeout` is terminated and fails with route_timeout_error's text. The service
// always uses ROUTE_COMMAND_TIMEOUT; tests shorten it.
Status run_route_command(std::string_view verb, Ipv4Address peer, const PhysicalRoute& route,
                         std::chrono::milliseconds timeout = ROUTE_COMMAND_TIMEOUT);
// Through the physical route of the peer's family; fails without running anything when `routes`
// holds none.
Status run_route_command(std::string_view verb, const IpAddress& peer, const PhysicalRoutes& routes,
                         std::chrono::milliseconds timeout = ROUTE_COMMAND_TIMEOUT);

} // namespace kestrune::routes
