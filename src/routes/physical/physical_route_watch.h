#pragma once
// The physical default routes of both families, kept up to date while the service runs. The
// routes found at start can go stale: a router advertisement that comes after the service
// started, a router that renumbers its link-local address, a new DHCP gateway, an adapter
// disabled and enabled (its interface index is not persistent). Host routes through a router
// that is not there cut every client off at the takeover, so the worker reads both families'
// default routes from the routing table every few seconds and follows them.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "routes/physical/host_routes.h"
#include "routes/physical/physical_route.h"
#include "win/result.h"

namespace kestrune::routes {

// The IPv4 default route of physical_default_route, `current` kept on a tie. Fails with "no
// IPv4 default route" or "IPv4 default route has no gateway".
Result<PhysicalRoute> physical_ipv4_route(const RouteTable<Ipv4Address>& table,
                                          const std::optional<PhysicalRoute>& current = {});

// What one reading of the routing table found, or why a family has no physical route; and
// each family's host routes, when its table could be read.
struct RouteReadings {
    Result<PhysicalRoute> ipv4;
    Result<PhysicalRoute6> ipv6;
    HostRouteTables hosts;
};

// "<gateway> on interface <n>", as the log names a route.
std::string route_text(const PhysicalRoute& route);
std::string route_text(const PhysicalRoute6& route);

#ifdef _WIN32
// Both families' physical routes and host routes from the system's routing tables. A table that
// cannot be read leaves its family's route as it is: not knowing is no reason to stop
// protecting.
RouteReadings read_physical_routes(const PhysicalRoutes& current);
#endif

class PhysicalRouteWatch {
  public:
    // A change is followed within this and a pass; a client's first SYN-ACK retransmission
    // comes after about 3 s.
    static constexpr std::uint64_t READ_INTERVAL_SECONDS = 2;

    // Reads both families' routes; `current` is what protection uses now, kept on a tie.
    using Read = std::function<RouteReadings(const PhysicalRoutes& current)>;

    // `at_start`: the routes the service found (and logged) as it started.
    explicit PhysicalRouteWatch(PhysicalRoutes at_start = {}) : routes_(at_start) {}

    const PhysicalRoutes& routes() const { return routes_; }
    // How many readings were taken; each one after a route was added can prove it.
    std::uint64_t readings() const { return readings_; }
    // The host routes of both tables at the last reading.
    const HostRouteTables& host_routes() const { return hosts_; }

    // Reads the table READ_INTERVAL_SECONDS after the last reading (the start's counts as taken
    // at 0) and returns what take() returns.
    std::vector<std::string> refresh(std::uint64_t now, const Read& read);

    // Takes a reading and returns the lines to log, per family: "... enabled via" when a route
    // appears, "... moved from <old> to <new>" when it changes, "... suspended: <reason>" when
    // it goes; nothing while it stays, or stays away.
    std::vector<std::string> take(const RouteReadings& readings);

  private:
    PhysicalRoutes routes_;
    std::uint64_t read_at_ = 0;
    std::uint64_t readings_ = 0;
    HostRouteTables hosts_;
};

} // namespace kestrune::routes
