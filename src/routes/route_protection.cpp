#include "routes/route_protection.h"

#include <chrono>

#include "logging/log_sink.h"
#include "routes/protection_loop.h"
#include "routes/rdp_peers.h"
#include "routes/rdp_port_registry.h"
#include "routes/route_runner.h"

namespace kestrune::routes {
namespace {

// Only the families whose physical route was found at start: a peer of another family gets no
// route, and no lookup or route.exe run is spent on it.
Result<PeerSet> covered(Result<PeerSet> detected, const PhysicalRoutes& routes) {
    if (detected) {
        std::erase_if(*detected, [&](const auto& peer) { return !routes.covers(peer.first); });
    }
    return detected;
}

void run_worker(std::shared_ptr<RouteProtection::StopRequest> stop_request, PhysicalRoutes routes,
                RdpPortWatch rdp_port, RouteProtectionOptions options) {
    const auto started = std::chrono::steady_clock::now();
    ProtectionDependencies deps;
    deps.detect_peers = [&routes](RdpPorts ports) -> Result<PeerSet> {
        return routes.ipv4 ? detect_rdp_peers(ports) : PeerSet{};
    };
    // Read whether or not IPv6 is protected: a dual-stack listener lists its IPv4 clients there.
    deps.detect_peers6 = [&routes](RdpPorts ports) {
        return covered(detect_rdp_peers6(ports), routes);
    };
    deps.read_rdp_port = read_rdp_port;
    deps.route_in_place = [&routes](const IpAddress& peer) {
        return peer.is_ipv6() ? host_route_in_place(peer.ipv6(), *routes.ipv6)
                              : host_route_in_place(peer.ipv4(), *routes.ipv4);
    };
    deps.reached_by_default_route = [&routes](const IpAddress& peer) {
        return peer.is_ipv6() ? reached_by_default_route(peer.ipv6(), *routes.ipv6)
                              : reached_by_default_route(peer.ipv4(), *routes.ipv4);
    };
    deps.run_route_command = [&routes](std::string_view verb, const IpAddress& peer) {
        return run_route_command(verb, peer, routes);
    };
    // Declared before the loop runs and destroyed after it: the loop waits for every run it
    // started before it returns.
    ThreadedRoutePool pool(
        [&routes](std::string_view verb, const IpAddress& peer, std::chrono::milliseconds timeout) {
            return run_route_command(verb, peer, routes, timeout);
        });
    deps.pool = &pool;
    deps.log = [](std::string_view line) { logging::log_line(line); };
    deps.now_seconds = [started] {
        const auto elapsed = std::chrono::steady_clock::now() - started;
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
    };
    // Between passes the worker waits on the pool (for the next pass or a run that ended),
    // deliberately not on the stop flag: a stop is noticed at the top of the next pass.
    deps.route_deleted_at_stop = [&stop_request] {
        if (stop_request->route_deleted) {
            stop_request->route_deleted();
        }
    };
    run_protection_loop(stop_request->requested,
                        PeerTracker(options.peer_ttl_seconds, PeerTracker::MAX_PEERS,
                                    options.half_open_ttl_seconds),
                        deps, rdp_port);
    std::lock_guard lock(stop_request->mutex);
    stop_request->finished = true;
    stop_request->ended.notify_all();
}

} // namespace

RouteProtection RouteProtection::start(PhysicalRoutes routes, RdpPortWatch rdp_port,
                                       RouteProtectionOptions options) noexcept {
    auto stop_request = std::make_shared<StopRequest>();
    // std::thread throws when no thread can be created; through noexcept that ends the
    // process, which is what the service wants rather than running unprotected unnoticed.
    std::thread worker(run_worker, stop_request, routes, rdp_port, options);
    return RouteProtection(std::move(stop_request), std::move(worker));
}

RouteProtection& RouteProtection::operator=(RouteProtection&& other) noexcept {
    if (this != &other) {
        stop();
        stop_request_ = std::move(other.stop_request_);
        worker_ = std::move(other.worker_);
    }
    return *this;
}

RouteProtection::~RouteProtection() {
    stop();
}

void RouteProtection::stop(std::function<void()> progress) {
    if (!worker_.joinable()) {
        return;
    }
    stop_request_->route_deleted = progress;
    stop_request_->requested.store(true, std::memory_order_seq_cst);
    if (progress) {
        std::unique_lock lock(stop_request_->mutex);
        while (!stop_request_->ended.wait_for(lock, STOP_PROGRESS_INTERVAL,
                                              [this] { return stop_request_->finished; })) {
            lock.unlock();
            progress();
            lock.lock();
        }
    }
    worker_.join();
    stop_request_.reset();
}

} // namespace kestrune::routes
