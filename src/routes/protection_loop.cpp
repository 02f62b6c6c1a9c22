#include "routes/protection_loop.h"

#include <algorithm>
#include <set>
#include <string>
#include <utility>

namespace kestrune::routes {
namespace {

using std::chrono::milliseconds;

// Without a pool: each run on the worker's thread, at once; the pause between passes as given.
class SerialPool final : public RoutePool {
  public:
    explicit SerialPool(const ProtectionDependencies& deps) : deps_(deps) {}

    std::size_t free_slots() const override { return 1; }
    void set_slots(std::size_t) override {}
    void start(RouteJob job) override {
        Status status = deps_.run_route_command(job.verb, job.peer);
        finished_.push_back({std::move(job), std::move(status)});
    }
    std::vector<RouteOutcome> take_finished() override { return std::exchange(finished_, {}); }
    std::size_t running() const override { return 0; }
    std::uint64_t now_ms() const override { return deps_.now_seconds() * 1000; }
    bool wait_until(std::uint64_t) override {
        deps_.pause();
        return false;
    }

  private:
    const ProtectionDependencies& deps_;
    std::vector<RouteOutcome> finished_;
};

class ProtectionWorker {
  public:
    ProtectionWorker(PeerTracker tracker, const ProtectionDependencies& deps, RoutePool& pool,
                     RdpPortWatch rdp_port)
        : tracker_(std::move(tracker)), deps_(deps), pool_(pool), rdp_port_(rdp_port) {}

    void run_pass() {
        const std::uint64_t now = deps_.now_seconds();
        if (const auto line = rdp_port_.refresh(now, deps_.read_rdp_port)) {
            deps_.log(*line);
        }
        auto detected = deps_.detect_peers(rdp_port_.ports());
        if (detected && deps_.detect_peers6) {
            detected = with_ipv6_peers(std::move(detected), deps_.detect_peers6(rdp_port_.ports()));
        }
        if (detected) {
            reported_failures_.erase(std::string(TCP_TABLE_KEY));
            screen_.screen(*detected, deps_.reached_by_default_route,
                           [this](const IpAddress& address, const std::string& error) {
                               report_inspection_failure(address, error);
                           });
            if (tracker_.observe(now, *detected)) {
                // Once per episode: a crowd of scanners must not flood the log.
                deps_.log("RDP route protection is at its limit of " +
                          std::to_string(tracker_.max_peers()) +
                          " connected peers; new clients wait");
            }
        } else {
            // Peers are not refreshed, so they keep ageing through the outage.
            report_once(TCP_TABLE_KEY, "RDP peer detection failed: " + detected.error());
        }

        take_outcomes();
        // The backlog is made anew each pass, so a newcomer is ordered among the waiting at
        // once rather than behind what an earlier pass planned.
        const PeerPlan plan = tracker_.plan(now);
        backlog_.clear();
        next_ = 0;
        for (const IpAddress& address : plan.to_add) {
            if (!in_flight_.contains(address)) {
                backlog_.emplace_back("ADD", address);
            }
        }
        for (const IpAddress& address : plan.to_remove) {
            if (!in_flight_.contains(address)) {
                backlog_.emplace_back("DELETE", address);
            }
        }
        dispatch();
    }

    // A run ended between passes: its outcome, then the next run of the backlog.
    void between_passes() {
        take_outcomes();
        dispatch();
    }

    void shut_down() {
        pool_.set_slots(ROUTE_STOP_SLOTS);
        const std::uint64_t deadline = pool_.now_ms() + STOP_BUDGET_MS;
        std::vector<IpAddress> to_delete = tracker_.take_owned();
        std::size_t next = 0;
        std::size_t left = 0;
        const auto take_stop_outcomes = [&] {
            for (RouteOutcome& outcome : pool_.take_finished()) {
                if (outcome.job.verb == "ADD") {
                    // Added after all: deleted like the rest while there is time.
                    if (outcome.status) {
                        to_delete.push_back(outcome.job.peer);
                    }
                    continue;
                }
                // Nothing more can be done about a failure: the route stays in the table.
                left += outcome.status ? 0 : 1;
                if (deps_.route_deleted_at_stop) {
                    deps_.route_deleted_at_stop();
                }
            }
        };
        for (;;) {
            take_stop_outcomes();
            const std::uint64_t now = pool_.now_ms();
            const std::uint64_t remaining = deadline > now ? deadline - now : 0;
            const bool may_start = remaining >= STOP_TERMINATE_MS + MIN_STOP_RUN_MS;
            while (may_start && next < to_delete.size() && pool_.free_slots() > 0) {
                const milliseconds bound = std::min<milliseconds>(
                    ROUTE_COMMAND_TIMEOUT, milliseconds(remaining - STOP_TERMINATE_MS));
                pool_.start({"DELETE", to_delete[next++], bound});
                take_stop_outcomes();
            }
            if (pool_.running() == 0 && (next == to_delete.size() || !may_start)) {
                break;
            }
            // Every run started is bounded to end before the deadline; waiting for all of them
            // leaves no run going past the stop.
            pool_.wait_until(std::min(deadline, now + 1000));
        }
        left += to_delete.size() - next;
        if (left > 0) {
            deps_.log("RDP route protection left " + std::to_string(left) +
                      " host routes in place");
        }
        deps_.log("RDP route protection stopped");
    }

  private:
    static constexpr std::string_view TCP_TABLE_KEY = "tcp-table";
    // The IPv6 table's peers joined to the IPv4 one's. A peer in both (a dual-stack listener's
    // IPv4 client beside a plain one) is established when any of its rows is. A failure fails
    // the pass as the IPv4 table's does: peers missing from a partial table would look gone and
    // could be evicted.
    static Result<PeerSet> with_ipv6_peers(Result<PeerSet> detected, const Result<PeerSet>& more) {
        if (!detected) {
            return detected;
        }
        if (!more) {
            return fail(more.error());
        }
        for (const auto& [address, state] : *more) {
            add_sighting(*detected, address, state);
        }
        return detected;
    }

    void dispatch() {
        while (next_ < backlog_.size() && pool_.free_slots() > 0) {
            const auto& [verb, address] = backlog_[next_++];
            if (verb == "ADD" && !needs_route(address)) {
                continue;
            }
            in_flight_.insert(address);
            pool_.start({verb, address, ROUTE_COMMAND_TIMEOUT});
            // Taken at once, so a run that ended inside start() is logged before the next.
            take_outcomes();
        }
    }

    bool needs_route(const IpAddress& address) {
        const Result<bool> in_place = deps_.route_in_place(address);
        if (!in_place) {
            report_inspection_failure(address, in_place.error());
            return false;
        }
        if (*in_place) {
            tracker_.mark_present(address);
            return false;
        }
        return true;
    }

    void take_outcomes() {
        for (const RouteOutcome& outcome : pool_.take_finished()) {
            const IpAddress address = outcome.job.peer;
            const std::string text = address.to_string();
            in_flight_.erase(address);
            if (outcome.job.verb == "ADD") {
                if (outcome.status) {
                    tracker_.mark_added(address);
                    deps_.log("RDP physical return route added for " + text);
                } else {
                    report_once("add:" + text, "RDP route add failed: " + outcome.status.error());
                }
            } else if (outcome.status) {
                tracker_.mark_removed(address);
                deps_.log("RDP physical return route removed for " + text);
            } else {
                report_once("remove:" + text,
                            "RDP route removal failed: " + outcome.status.error());
            }
        }
    }

    // Both lookups of a peer's route share one line per address.
    void report_inspection_failure(const IpAddress& address, const std::string& error) {
        report_once("inspect:" + address.to_string(), "RDP route inspection failed: " + error);
    }

    // The failed action is retried every pass anyway; only its log line is kept to one.
    void report_once(std::string_view key, const std::string& message) {
        if (reported_failures_.emplace(std::string(key)).second) {
            deps_.log(message);
        }
    }

    PeerScreen screen_;
    PeerTracker tracker_;
    const ProtectionDependencies& deps_;
    RoutePool& pool_;
    RdpPortWatch rdp_port_;
    std::set<std::string, std::less<>> reported_failures_;
    std::vector<std::pair<std::string, IpAddress>> backlog_;
    std::size_t next_ = 0;
    std::set<IpAddress> in_flight_;
};

} // namespace

void run_protection_loop(const std::atomic<bool>& stop_flag, PeerTracker tracker,
                         const ProtectionDependencies& deps, RdpPortWatch rdp_port) {
    SerialPool serial(deps);
    RoutePool& pool = deps.pool != nullptr ? *deps.pool : serial;
    ProtectionWorker worker(std::move(tracker), deps, pool, rdp_port);
    while (!stop_flag.load()) {
        const std::uint64_t next_pass = pool.now_ms() + PASS_INTERVAL_MS;
        worker.run_pass();
        while (pool.wait_until(next_pass)) {
            worker.between_passes();
        }
    }
    worker.shut_down();
}

} // namespace kestrune::routes
