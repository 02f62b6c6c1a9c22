#include "routes/route_protection.h"

#include <chrono>

#include "logging/log_sink.h"
#include "routes/commands/route_runner.h"
#include "routes/peers/rdp_peers.h"
#include "routes/physical/physical_route_watch.h"
#include "routes/ports/admin_ports.h"
#include "routes/ports/rdp_port_registry.h"
#include "routes/protection_loop.h"

namespace kestrune::routes {
namespace {

// The worker asks only about peers of a family it has a route for; should it ever not, the
// answer is an error rather than a route through nowhere.
template <class Decide>
Result<bool> through(const IpAddress& peer, const PhysicalRoutes& via, Decide decide) {
    if (!via.covers(peer)) {
        return fail("no physical route for " + peer.to_string());
    }
    return peer.is_ipv6() ? decide(peer.ipv6(), *via.ipv6) : decide(peer.ipv4(), *via.ipv4);
}

void run_worker(std::shared_ptr<RouteProtection::StopRequest> stop_request, PhysicalRoutes routes,
                RdpPortWatch rdp_port, RouteProtectionOptions options) {
    const auto started = std::chrono::steady_clock::now();
    ProtectionDependencies deps;
    deps.detect_peers = detect_rdp_peers;
    // Read whether or not IPv6 is protected: a dual-stack listener lists its IPv4 clients there.
    deps.detect_peers6 = detect_rdp_peers6;
    deps.read_rdp_port = read_rdp_port;
    deps.read_admin_ports = [reader = std::make_shared<AdminPortReader>()] {
        return reader->read();
    };
    // The other servers' ports are read off the worker's thread: the tables with owning
    // processes can take seconds under a scan wave (Wine looks an owner up for every row).
    deps.run_in_background = [](std::function<void()> job) {
        try {
            std::thread(job).detach();
        } catch (...) {
            job(); // no thread to be had: read here rather than never
        }
    };
    deps.read_physical_routes = read_physical_routes;
    deps.route_in_place = [](const IpAddress& peer, const PhysicalRoutes& via) {
        return through(peer, via, [](const auto& address, const auto& route) -> Result<bool> {
            return host_route_in_place(address, route);
        });
    };
    deps.reached_by_default_route = [](const IpAddress& peer, const PhysicalRoutes& via) {
        return through(peer, via, [](const auto& address, const auto& route) -> Result<bool> {
            return reached_by_default_route(address, route);
        });
    };
    deps.run_route_command = [](std::string_view verb, const IpAddress& peer,
                                const PhysicalRoutes& via) {
        return run_route_command(verb, peer, via);
    };
    // Declared before the loop runs and destroyed after it: the loop waits for every run it
    // started before it returns.
    ThreadedRoutePool pool([](std::string_view verb, const IpAddress& peer,
                              const PhysicalRoutes& via, std::chrono::milliseconds timeout) {
        return run_route_command(verb, peer, via, timeout);
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
                        deps, routes, rdp_port);
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
