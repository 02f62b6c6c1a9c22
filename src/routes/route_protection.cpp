#include "routes/route_protection.h"

#include <chrono>

#include "logging/log_sink.h"
#include "routes/protection_loop.h"
#include "routes/rdp_peers.h"
#include "routes/rdp_port_registry.h"
#include "routes/route_runner.h"

namespace kestrune::routes {
namespace {

void run_worker(std::shared_ptr<RouteProtection::StopRequest> stop_request, PhysicalRoute route,
                RdpPortWatch rdp_port, RouteProtectionOptions options) {
    const auto started = std::chrono::steady_clock::now();
    ProtectionDependencies deps;
    deps.detect_peers = detect_rdp_peers;
    deps.read_rdp_port = read_rdp_port;
    deps.route_in_place = [&route](Ipv4Address peer) { return host_route_in_place(peer, route); };
    deps.reached_by_default_route = [&route](Ipv4Address peer) {
        return reached_by_default_route(peer, route);
    };
    deps.run_route_command = [&route](std::string_view verb, Ipv4Address peer) {
        return run_route_command(verb, peer, route);
    };
    // Declared before the loop runs and destroyed after it: the loop waits for every run it
    // started before it returns.
    ThreadedRoutePool pool(
        [&route](std::string_view verb, Ipv4Address peer, std::chrono::milliseconds timeout) {
            return run_route_command(verb, peer, route, timeout);
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

RouteProtection RouteProtection::start(PhysicalRoute route, RdpPortWatch rdp_port,
                                       RouteProtectionOptions options) noexcept {
    auto stop_request = std::make_shared<StopRequest>();
    // std::thread throws when no thread can be created; through noexcept that ends the
    // process, which is what the service wants rather than running unprotected unnoticed.
    std::thread worker(run_worker, stop_request, route, rdp_port, options);
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
