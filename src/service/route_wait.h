#pragma once
// At start the physical default route may not exist yet (after a reboot an automatic service
// can start before the adapter or DHCP is ready). Starting the proxy then would leave the
// service unprotected for its whole life, so the start waits for the route, retrying every
// second for a bounded time. The service already reports RUNNING (accepting a stop) while it
// waits: the wait is the service's own affair, not a start the service control manager or
// Windows Installer should hold their own work for. Time, pauses and the lookup come in as
// hooks, so the minute runs in milliseconds under a fake clock.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "service/stop_signal.h"
#include "win/result.h"

namespace kestrune::service {

inline constexpr std::chrono::seconds ROUTE_RETRY_INTERVAL{1};
inline constexpr std::chrono::seconds ROUTE_WAIT_LIMIT{60};
// A stop during the wait is seen this quickly, not only at the next retry.
inline constexpr std::chrono::milliseconds ROUTE_WAIT_TICK{200};

template <class Route> struct RouteWaitHooks {
    std::function<Result<Route>()> find_route;
    // Monotonic time since any fixed origin.
    std::function<std::chrono::nanoseconds()> now;
    std::function<void(std::chrono::milliseconds)> pause;
    std::function<void(std::string_view)> log;
};

template <class Route> struct RouteFound { Route route; };
// The limit passed; the last lookup's error has been logged as the reason protection is
// unavailable.
struct RouteNotFound {};
// A stop was requested while waiting: nothing more is started.
struct RouteWaitStopped {};

template <class Route>
using RouteWaitOutcome = std::variant<RouteFound<Route>, RouteNotFound, RouteWaitStopped>;

// A first lookup that succeeds returns at once, without a log line.
template <class Route>
RouteWaitOutcome<Route> wait_for_physical_route(const StopSignal& stop,
                                                const RouteWaitHooks<Route>& hooks) {
    Result<Route> found = hooks.find_route();
    if (found) {
        return RouteFound<Route>{std::move(found).value()};
    }
    hooks.log("RDP route protection waiting for a physical IPv4 default route: " + found.error());
    // Retries keep to whole seconds from here, however long a lookup takes.
    const std::chrono::nanoseconds t0 = hooks.now();
    for (std::int64_t retry = 1;; ++retry) {
        const std::chrono::nanoseconds due = t0 + retry * ROUTE_RETRY_INTERVAL;
        for (std::chrono::nanoseconds now = hooks.now(); now < due; now = hooks.now()) {
            if (stop.requested()) {
                return RouteWaitStopped{};
            }
            hooks.pause(
                std::min(ROUTE_WAIT_TICK, std::chrono::ceil<std::chrono::milliseconds>(due - now)));
        }
        if (stop.requested()) {
            return RouteWaitStopped{};
        }
        found = hooks.find_route();
        if (stop.requested()) {
            return RouteWaitStopped{}; // no line may claim protection one way or the other
        }
        if (found) {
            return RouteFound<Route>{std::move(found).value()};
        }
        if (hooks.now() - t0 >= ROUTE_WAIT_LIMIT) {
            hooks.log("RDP route protection unavailable: " + found.error());
            return RouteNotFound{};
        }
    }
}

} // namespace kestrune::service
