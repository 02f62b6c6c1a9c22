#pragma once
// The route-protection worker's body over injected dependencies, so the 250 ms passes and
// the 30 s and 600 s expiries run against a fake clock in tests; route_protection.h binds the
// real ones.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "routes/commands/route_pool.h"
#include "routes/peers/peer_screen.h"
#include "routes/peers/peer_tracker.h"
#include "routes/peers/tcp_table.h"
#include "routes/physical/physical_route_watch.h"
#include "routes/ports/admin_port_watch.h"
#include "routes/ports/rdp_port_watch.h"
#include "win/result.h"

namespace kestrune::routes {

struct ProtectionDependencies {
    // The public peers of inbound connections to one of the watched ports.
    std::function<Result<PeerSet>(const WatchedPorts&)> detect_peers;
    // Optional: the same from the IPv6 table, read after the IPv4 one. A table that cannot be
    // read holds back only the peers it lists: they are neither refreshed nor taken for gone.
    std::function<Result<PeerSet>(const WatchedPorts&)> detect_peers6;
    // The port Remote Desktop is configured for; read once a minute.
    std::function<RdpPortWatch::Reading()> read_rdp_port;
    // Optional: the ports of the other remote-administration services, read with the RDP port,
    // through `run_in_background`.
    std::function<AdminPortWatch::Reading()> read_admin_ports;
    // Optional: runs a reading that can take long on a thread of its own; without it, at once.
    BackgroundRead<AdminPortWatch::Reading>::Runner run_in_background;
    // Optional: both families' physical routes as the routing table has them now, read every
    // few seconds; without it the routes of the start stay.
    PhysicalRouteWatch::Read read_physical_routes;
    // Whether a host route for the peer through its family's route in `via` is in place.
    std::function<Result<bool>(IpAddress, const PhysicalRoutes& via)> route_in_place;
    // Whether only the default route leads back to a private-use peer (see peer_screen.h).
    std::function<Result<bool>(IpAddress, const PhysicalRoutes& via)> reached_by_default_route;
    // route.exe with "ADD" or "DELETE" for the peer through its family's route in `via`.
    std::function<Status(std::string_view verb, IpAddress, const PhysicalRoutes& via)>
        run_route_command;
    std::function<void(std::string_view)> log;
    // Whole seconds since the worker started.
    std::function<std::uint64_t()> now_seconds;
    // The pause between passes (250 ms); a stop request does not cut it short.
    std::function<void()> pause;
    // Optional: called after each route deleted at shutdown, so whoever waits for the stop
    // can show progress.
    std::function<void()> route_deleted_at_stop;
    // Optional: where route commands run, side by side, while detection goes on; between
    // passes the worker waits on it instead of `pause`. Without one each command runs through
    // `run_route_command` on the worker's own thread, one after another.
    RoutePool* pool = nullptr;
};

// Detection runs every PASS_INTERVAL from the start of one pass to the next.
inline constexpr std::uint64_t PASS_INTERVAL_MS = 250;
// The whole stop: Windows Installer waits 30 s for STOPPED (then error 1921), and the child's
// end and the service's own reports come before and after the deletions.
inline constexpr std::uint64_t STOP_BUDGET_MS = 20'000;
// A run started at a stop is bounded by what is left of the budget, less this for the
// termination of a run that outlasts it; none starts with less than MIN_STOP_RUN_MS left.
inline constexpr std::uint64_t STOP_TERMINATE_MS = 2'000;
inline constexpr std::uint64_t MIN_STOP_RUN_MS = 1'000;

// Runs passes until `stop_flag` is seen at the top of a pass, then deletes the routes it added
// (ascending, side by side on the pool, failures not logged) within STOP_BUDGET_MS, logs
// "RDP route protection left N host routes in place" when some could not be deleted, and
// "RDP route protection stopped".
// `routes` are the physical routes found at start (which the caller has logged): peers of a
// family get host routes while it has one. When a family's route changes, the host routes
// through the old one are deleted and added again through the new one.
// `rdp_port` may hold a reading taken before the start (which the caller has logged); without
// one the first pass reads the port.
void run_protection_loop(const std::atomic<bool>& stop_flag, PeerTracker tracker,
                         const ProtectionDependencies& deps, const PhysicalRoutes& routes,
                         RdpPortWatch rdp_port = {});

} // namespace kestrune::routes
