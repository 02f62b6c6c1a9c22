#pragma once
// Adds or deletes one host route through the physical route by running the system's
// route.exe invisibly and waiting for it.

#include <string_view>

#include "routes/physical_route.h"

namespace kestrune::routes {

// `verb` is "ADD" or "DELETE". Succeeds only when route.exe exits with 0; blocks until it has
// ended, without a time limit.
Status run_route_command(std::string_view verb, Ipv4Address peer, const PhysicalRoute& route);

} // namespace kestrune::routes
