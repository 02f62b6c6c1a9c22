#include "service/service_main.h"

#include <optional>
#include <string>
#include <variant>

#include "child/pump.h"
#include "child/spawn.h"
#include "logging/log_sink.h"
#include "routes/physical/physical_route.h"
#include "routes/physical/physical_route_watch.h"
#include "routes/ports/rdp_port_registry.h"
#include "routes/route_protection.h"
#include "service/current_child.h"
#include "service/real_clock.h"
#include "service/route_wait.h"
#include "service/start_checks.h"
#include "service/status.h"
#include "service/stop_signal.h"
#include "service/supervise.h"
#include "win/wide.h"

namespace kestrune::service {
namespace {

// Looked up before the proxy starts and can take the default route over; waited for when it
// is not there yet.
RouteWaitOutcome<routes::PhysicalRoute> wait_for_route() {
    const RouteWaitHooks<routes::PhysicalRoute> hooks{
        .find_route = [] { return routes::find_physical_route(); },
        .now = monotonic_now,
        .pause = pause_thread,
        .log = [](std::string_view line) { logging::log_line(line); },
    };
    return wait_for_physical_route(stop_signal(), hooks);
}

// IPv6 is looked up once here, after IPv4 has been found or waited for: many machines have no
// IPv6 default route at all, and neither the proxy's start nor IPv4 protection waits for one.
// The worker runs in any case: it follows the routing table, so a route of either family that
// appears later (a router advertisement after the start, a network that came up after the
// wait) is protected from then on.
std::optional<routes::RouteProtection>
start_route_protection(const RouteWaitOutcome<routes::PhysicalRoute>& outcome) {
    routes::PhysicalRoutes routes;
    if (const auto* found = std::get_if<RouteFound<routes::PhysicalRoute>>(&outcome)) {
        routes.ipv4 = found->route;
        logging::log_line("RDP route protection enabled via " + routes::route_text(found->route));
    } // otherwise the wait has logged why
    const Result<routes::PhysicalRoute6> ipv6 = routes::find_physical_route6();
    if (ipv6) {
        routes.ipv6 = *ipv6;
        logging::log_line("RDP IPv6 route protection enabled via " + routes::route_text(*ipv6));
    } else {
        logging::log_line("RDP IPv6 route protection unavailable: " + ipv6.error());
    }
    routes::RdpPortWatch rdp_port;
    const std::optional<std::string> port_line = rdp_port.take(routes::read_rdp_port());
    // Logged before the worker starts, so that the port line follows the enabled lines directly
    // and the worker's own lines come after them.
    if (port_line) {
        logging::log_line(*port_line);
    }
    return routes::RouteProtection::start(routes, rdp_port);
}

void stop_route_protection(std::optional<routes::RouteProtection>& protection) {
    if (protection) {
        protection->stop();
    }
}

// One more stop-pending report: its checkpoint grows, so the service control manager sees a
// stop that takes longer than one wait hint is still moving.
void report_stop_progress() {
    report_status(SERVICE_STOP_PENDING, 0, 0);
}

} // namespace

void WINAPI service_main(DWORD, LPWSTR*) {
    const std::wstring name = win::widen(SERVICE_NAME);
    if (!register_control_handler(name)) {
        return;
    }
    report_status(SERVICE_START_PENDING, 0, 0);
    stop_signal().clear();
    if (refuse_unsafe_start({"Kestrune service wrapper starting"})) {
        // "Access is denied" in sc query and the Event Log, and no child, no route protection,
        // until an administrator fixes the path: the recovery settings start the service again
        // after 5 s, 10 s and then every minute, and each start checks anew.
        report_status(SERVICE_STOPPED, 0, ERROR_ACCESS_DENIED);
        return;
    }

    // Running from here on, before the wait for the route: Windows Installer's StartServices
    // gives up (error 1920, and a silent install rolls back) after 30 s of START_PENDING, and
    // the service control manager starts delayed automatic services one after another, so a
    // minute of waiting would hold up every later one. The log says what the service waits
    // for; the stop control is accepted throughout.
    report_status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0);

    const auto route = wait_for_route();
    if (std::holds_alternative<RouteWaitStopped>(route)) {
        // Stopped while waiting: no protection and no child were started.
        report_status(SERVICE_STOPPED, 0, 0);
        return;
    }
    std::optional<routes::RouteProtection> protection = start_route_protection(route);
    if (stop_signal().requested()) {
        // The stop came as the wait ended: no child either.
        stop_route_protection(protection);
        report_status(SERVICE_STOPPED, 0, 0);
        return;
    }

    auto child = child::spawn_sing_box();
    if (!child) {
        logging::log_line("failed to start sing-box: " + child.error());
        stop_route_protection(protection);
        report_status(SERVICE_STOPPED, 0, 1);
        return;
    }
    // A stop from here on finds the child in the slot and kills it; one that came between the
    // check above and this store is seen by supervise() at once.
    current_child().store(std::move(*child));

    // Before every restart the start-up checks run again: config.json may have appeared, been
    // replaced or been relinked since the last start.
    const SupervisionEnd end = supervise([] { return refuse_unsafe_start({}, Warnings::silent); });
    report_stop_progress();
    // The child is dead; its pumps get a moment to write its last lines before the process
    // can exit.
    child::wait_for_pumps(CHILD_OUTPUT_GRACE);
    report_stop_progress();

    // The child is gone: the worker now deletes its routes, one route.exe each, before the
    // service says it stopped.
    if (protection) {
        protection->stop(report_stop_progress);
        report_stop_progress();
    }
    // A restart the checks refused ends the service as a refusal at start does; the recovery
    // settings may start it again, and it runs once an administrator has fixed the path.
    report_status(SERVICE_STOPPED, 0, end == SupervisionEnd::refused ? ERROR_ACCESS_DENIED : 0);
}

} // namespace kestrune::service
