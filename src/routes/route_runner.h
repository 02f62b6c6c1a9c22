#pragma once
// Adds or deletes one host route through the physical route by running the system's
// route.exe invisibly and waiting for it, for a bounded time.

#include <chrono>
#include <string_view>

#include "routes/physical_route.h"

namespace kestrune::routes {

// route.exe normally ends within a second. One that hangs (a wedged network stack, a driver
// update in progress) must not hold the protection worker, and with it the service's stop,
// for ever.
inline constexpr std::chrono::milliseconds ROUTE_COMMAND_TIMEOUT{std::chrono::seconds(10)};

// How long a route.exe terminated after the bound is waited for: TerminateProcess only
// starts the end, and a process stuck in the kernel may take a moment (or never end).
inline constexpr std::chrono::milliseconds ROUTE_TERMINATE_WAIT{std::chrono::seconds(2)};

// `verb` is "ADD" or "DELETE". Succeeds only when route.exe exits with 0. A run that has not
// ended after `timeout` is terminated and fails with route_timeout_error's text. The service
// always uses ROUTE_COMMAND_TIMEOUT; tests shorten it.
Status run_route_command(std::string_view verb, Ipv4Address peer, const PhysicalRoute& route,
                         std::chrono::milliseconds timeout = ROUTE_COMMAND_TIMEOUT);

} // namespace kestrune::routes
