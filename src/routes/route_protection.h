#pragma once
// The handle of the route-protection worker: a thread that keeps one host route through the
// physical route for every public peer of a watched port (RDP's, OpenSSH's, WinRM's), follows
// that route when it changes, and deletes the routes it added when stopped.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "routes/peers/peer_tracker.h"
#include "routes/physical/physical_route.h"
#include "routes/ports/rdp_port_watch.h"

namespace kestrune::routes {

struct RouteProtectionOptions {
    // How long a peer stays wanted after it was last seen. The service keeps the default;
    // end-to-end tests shorten it to see an expiry without waiting ten minutes.
    std::uint64_t peer_ttl_seconds = PeerTracker::PEER_TTL_SECONDS;
    // The same for a peer never seen past the handshake.
    std::uint64_t half_open_ttl_seconds = PeerTracker::HALF_OPEN_TTL_SECONDS;
};

class RouteProtection {
  public:
    // Starts the worker, whose first pass runs at once, with the physical routes found at start
    // (either, both or none); it follows the routing table from there, so a family whose route
    // appears later is protected from then on. `rdp_port` holds the caller's reading of the RDP
    // port, if it took one (otherwise the first pass reads it); the worker reads it again every
    // minute. A thread that cannot be created ends the process.
    static RouteProtection start(PhysicalRoutes routes, RdpPortWatch rdp_port = {},
                                 RouteProtectionOptions options = {}) noexcept;

    RouteProtection(RouteProtection&&) noexcept = default;
    // Stops the worker this handle held, then takes over the other one.
    RouteProtection& operator=(RouteProtection&& other) noexcept;
    RouteProtection(const RouteProtection&) = delete;
    RouteProtection& operator=(const RouteProtection&) = delete;
    // Stops a worker that was never stopped, so no thread is left running unjoined.
    ~RouteProtection();

    // While a stop waits, `progress` is called at least this often.
    static constexpr std::chrono::milliseconds STOP_PROGRESS_INTERVAL{1000};

    // Asks the worker to stop and waits until it has deleted the routes it added and logged
    // that it stopped: the rest of its pass and one bounded route.exe run per route. No lock
    // is held while `progress`, when given, is called: on the worker's thread after each of
    // those deletions, and on the calling thread every STOP_PROGRESS_INTERVAL while it waits,
    // so a route.exe that takes its full time still shows a stop that moves. Once per handle;
    // later calls do nothing.
    void stop(std::function<void()> progress = {});

    // Shared by the handle and the worker. The callback is written before the flag is set
    // and read by the worker only after it has seen the flag; `finished` is set, under the
    // mutex, as the worker's last act.
    struct StopRequest {
        std::atomic<bool> requested{false};
        std::function<void()> route_deleted;
        std::mutex mutex;
        std::condition_variable ended;
        bool finished = false;
    };

  private:
    RouteProtection(std::shared_ptr<StopRequest> stop_request, std::thread worker)
        : stop_request_(std::move(stop_request)), worker_(std::move(worker)) {}

    std::shared_ptr<StopRequest> stop_request_;
    std::thread worker_;
};

} // namespace kestrune::routes
