#pragma once
// Route commands side by side. Adding a host route costs one route.exe run of 100-300 ms, and a
// scan wave or a crowd brings new addresses faster than one run after another can serve them;
// the protection worker hands its runs to a pool and goes on detecting peers every 250 ms
// whatever is still running.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "routes/addresses/ip_address.h"
#include "routes/physical/physical_route.h"
#include "win/result.h"

namespace kestrune::routes {

// route.exe normally ends within a second. One that hangs (a wedged network stack, a driver
// update in progress) must not hold the protection worker, and with it the service's stop,
// for ever.
inline constexpr std::chrono::milliseconds ROUTE_COMMAND_TIMEOUT{std::chrono::seconds(10)};

// How long a route.exe terminated after the bound is waited for: TerminateProcess only
// starts the end, and a process stuck in the kernel may take a moment (or never end).
inline constexpr std::chrono::milliseconds ROUTE_TERMINATE_WAIT{std::chrono::seconds(2)};

// Runs at once while the service runs. route.exe mostly waits for the network stack, which
// writes the routing table one change at a time, so more runs at once gain little; four keep
// a newcomer from waiting behind a whole burst, and still leave three runs when one hangs for
// its full 10 s.
inline constexpr std::size_t ROUTE_RUN_SLOTS = 4;
// Runs at once while stopping, when nothing else needs the machine: up to 256 deletions must
// fit Windows Installer's 30 s wait for a stop.
inline constexpr std::size_t ROUTE_STOP_SLOTS = 16;

struct RouteJob {
    std::string verb; // "ADD" or "DELETE"
    IpAddress peer;
    // The run's bound: ROUTE_COMMAND_TIMEOUT, or less when a stop's budget ends sooner.
    std::chrono::milliseconds timeout;
    // The physical routes the host route goes through: those of the time of an ADD, and for a
    // DELETE those its ADD named, so that it names the same full route.
    PhysicalRoutes via;
};

struct RouteOutcome {
    RouteJob job;
    Status status;
};

// What the protection worker needs of a pool. Everything is called from the worker's thread.
class RoutePool {
  public:
    virtual ~RoutePool() = default;
    // How many more runs may start now.
    virtual std::size_t free_slots() const = 0;
    virtual void set_slots(std::size_t slots) = 0;
    // Starts `job`; only when free_slots() > 0.
    virtual void start(RouteJob job) = 0;
    // The runs that ended since the last call, in the order they ended.
    virtual std::vector<RouteOutcome> take_finished() = 0;
    virtual std::size_t running() const = 0;
    // Milliseconds on the pool's monotonic clock.
    virtual std::uint64_t now_ms() const = 0;
    // Waits until `deadline_ms` or until a run ends; true when one has ended.
    virtual bool wait_until(std::uint64_t deadline_ms) = 0;
};

// A pool of threads, each running one command at a time. Destroying it waits for the runs
// still going, which the command's bound keeps short.
class ThreadedRoutePool final : public RoutePool {
  public:
    using Command = std::function<Status(std::string_view verb, const IpAddress& peer,
                                         const PhysicalRoutes& via, std::chrono::milliseconds)>;

    explicit ThreadedRoutePool(Command command, std::size_t slots = ROUTE_RUN_SLOTS);
    ~ThreadedRoutePool() override;
    ThreadedRoutePool(const ThreadedRoutePool&) = delete;
    ThreadedRoutePool& operator=(const ThreadedRoutePool&) = delete;

    std::size_t free_slots() const override;
    void set_slots(std::size_t slots) override;
    void start(RouteJob job) override;
    std::vector<RouteOutcome> take_finished() override;
    std::size_t running() const override;
    std::uint64_t now_ms() const override;
    bool wait_until(std::uint64_t deadline_ms) override;

  private:
    void serve();
    // Runs the first queued job without holding `lock`, and hands its outcome back.
    void run_next(std::unique_lock<std::mutex>& lock);

    Command command_;
    const std::chrono::steady_clock::time_point origin_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    std::size_t slots_;
    std::size_t in_progress_ = 0; // queued or running
    std::deque<RouteJob> queued_;
    std::vector<RouteOutcome> finished_;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

} // namespace kestrune::routes
