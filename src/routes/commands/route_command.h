#pragma once
// The route.exe invocation for one host route through the physical gateway, and the error
// texts of a run. The run itself is in route_runner.h.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "routes/addresses/ip_address.h"
#include "routes/physical/ipv6_routes.h"
#include "routes/physical/physical_route.h"

namespace kestrune::routes {

// WINDIR (used unchanged, whatever it holds) or C:\Windows, then System32\route.exe.
std::wstring route_executable_path(const std::optional<std::wstring>& windir);

// verb peer MASK 255.255.255.255 gateway METRIC 1 IF index: DELETE names the same full route
// as ADD, so it removes exactly the route that ADD created.
std::vector<std::string> route_command_arguments(std::string_view verb, Ipv4Address peer,
                                                 const PhysicalRoute& route);
// -6 verb peer/128 next-hop METRIC 1 IF index: route.exe's IPv6 form, the destination with its
// prefix length instead of a mask, and the interface that gives a link-local next hop its scope.
std::vector<std::string> route_command_arguments(std::string_view verb, const Ipv6Address& peer,
                                                 const PhysicalRoute6& route);

std::string route_start_error(std::string_view verb, const IpAddress& peer,
                              std::string_view os_error_text);
std::string route_exit_error(std::string_view verb, const IpAddress& peer,
                             std::string_view exit_status_text);
// "route.exe VERB PEER: route.exe did not finish within 10 seconds" for the service's bound;
// a bound that is no whole number of seconds is named in milliseconds.
std::string route_timeout_error(std::string_view verb, const IpAddress& peer,
                                std::chrono::milliseconds timeout);

} // namespace kestrune::routes
