#include "routes/protection_loop.h"

#include <algorithm>
#include <map>
#include <optional>
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
        Status status = deps_.run_route_command(job.verb, job.peer, job.via);
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
                     RdpPortWatch rdp_port, PhysicalRouteWatch physical)
        : tracker_(std::move(tracker)), deps_(deps), pool_(pool), rdp_port_(rdp_port),
          admin_read_(deps.read_admin_ports, deps.run_in_background), physical_(physical) {}

    void run_pass() {
        const std::uint64_t now = deps_.now_seconds();
        if (const auto line = rdp_port_.refresh(now, deps_.read_rdp_port)) {
            deps_.log(*line);
        }
        if (deps_.read_admin_ports) {
            for (const std::string& line : admin_ports_.refresh(now, admin_read_)) {
                deps_.log(line);
            }
        }
        follow_physical_routes(now);
        detect(now);

        take_outcomes();
        // The backlog is made anew each pass, so a newcomer is ordered among the waiting at
        // once rather than behind what an earlier pass planned. Routes through a physical route
        // that has changed go first: they are sessions that were working.
        const PeerPlan plan = tracker_.plan(now);
        backlog_.clear();
        next_ = 0;
        for (const auto& [address, owned] : owned_) {
            if (!owned.lost && !in_flight_.contains(address) && tracker_.wanted(address) &&
                routes().covers(address) && !same_route(owned.via, routes(), address)) {
                backlog_.emplace_back("DELETE", address);
            }
        }
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
        // A deletion already running counts by its own outcome: started again, it would fail
        // and count a deleted route as left.
        std::vector<std::pair<IpAddress, PhysicalRoutes>> to_delete;
        for (const IpAddress& address : tracker_.take_owned()) {
            if (!in_flight_.contains(address)) {
                to_delete.emplace_back(address, added_via(address));
            }
        }
        // A route taken for gone that is there after all is still ours to delete.
        for (const auto& [address, owned] : owned_) {
            if (owned.lost && !in_flight_.contains(address)) {
                const Result<bool> in_place = deps_.route_in_place(address, owned.via);
                if (!in_place || *in_place) {
                    to_delete.emplace_back(address, owned.via);
                }
            }
        }
        std::size_t next = 0;
        std::size_t left = 0;
        const auto take_stop_outcomes = [&] {
            for (RouteOutcome& outcome : pool_.take_finished()) {
                if (outcome.job.verb == "ADD") {
                    // Added after all: deleted like the rest while there is time.
                    if (outcome.status) {
                        to_delete.emplace_back(outcome.job.peer, outcome.job.via);
                    }
                    continue;
                }
                // Nothing more can be done about a failure: the route stays in the table.
                left += outcome.status || !still_in_place(outcome.job) ? 0 : 1;
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
                const auto& [address, via] = to_delete[next++];
                pool_.start({"DELETE", address, bound, via});
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
    static constexpr std::string_view TCP6_TABLE_KEY = "tcp6-table";
    // Readings without an ADD's route before it counts as one that did not take.
    static constexpr unsigned UNPROVEN_ADD_READINGS = 2;
    // Readings a lost route of a peer no longer wanted is still looked for.
    static constexpr unsigned LOST_ROUTE_READINGS = 5;

    struct OwnedRoute {
        PhysicalRoutes via;     // the routes its ADD named, which its DELETE must name too
        std::uint64_t added_at; // readings taken when its ADD was known to have succeeded
        bool seen = false;      // in the table at a reading since
        unsigned misses = 0;    // readings since without it, while not yet seen or lost
        // Missing at a reading: its peer gets a route again. It stays ours until then, or for a
        // while: a route that turns up after all (a reading that missed it, an ADD that took
        // late) must not be taken for someone else's and left behind at the stop.
        bool lost = false;
    };

    const PhysicalRoutes& routes() const { return physical_.routes(); }

    static bool same_route(const PhysicalRoutes& a, const PhysicalRoutes& b,
                           const IpAddress& peer) {
        return peer.is_ipv6() ? a.ipv6 == b.ipv6 : a.ipv4 == b.ipv4;
    }

    // A physical route that appeared, changed or went is logged; answers that depended on the
    // old one are looked up again. Every reading also checks the host routes counted on.
    void follow_physical_routes(std::uint64_t now) {
        const std::uint64_t readings = physical_.readings();
        const std::vector<std::string> lines = physical_.refresh(now, deps_.read_physical_routes);
        for (const std::string& line : lines) {
            deps_.log(line);
        }
        if (!lines.empty()) {
            screen_ = PeerScreen();
            tracker_.recheck_adopted();
        }
        if (physical_.readings() != readings) {
            check_host_routes();
        }
    }

    // The host routes the worker counts on, looked for in the table just read: at most one
    // lookup in a sorted copy for each owned and adopted route. A link that went down took
    // them with it (Windows drops an interface's routes), or someone deleted them: their peers
    // have no route now and get one again, before newcomers. An ADD that reported success is
    // proven by the first reading after it; one whose route is missing at two, while the other
    // routes of its family stay, is retried. A missing route is kept as lost, not forgotten:
    // if it turns up after all, it is still ours to delete.
    void check_host_routes() {
        std::vector<IpAddress> missing;
        // Families whose proven routes went, or that have no physical route now: a link that
        // went down took every route through it, proven yet or not.
        std::set<bool> dropped;
        std::vector<IpAddress> forgotten;
        for (auto& [address, owned] : owned_) {
            // A reading that may have begun before the ADD ended proves nothing either way,
            // nor does one taken while a command for the route runs.
            const std::optional<HostRoute> row = host_route_through(address, owned.via);
            const std::optional<bool> listed =
                row ? physical_.host_routes().lists(*row) : std::optional(true);
            if (!listed || in_flight_.contains(address) || owned.added_at >= physical_.readings()) {
                continue;
            }
            if (owned.lost) {
                if (*listed) {
                    owned = OwnedRoute{.via = owned.via, .added_at = owned.added_at, .seen = true};
                    tracker_.mark_added(address); // deleted as usual once no longer wanted
                } else if (++owned.misses >= LOST_ROUTE_READINGS && !tracker_.wanted(address)) {
                    forgotten.push_back(address);
                }
                continue;
            }
            if (*listed) {
                owned.seen = true;
                continue;
            }
            missing.push_back(address);
            if (owned.seen || !routes().covers(address)) {
                dropped.insert(address.is_ipv6());
            }
        }
        for (const IpAddress& address : forgotten) {
            owned_.erase(address);
        }
        std::size_t gone = 0;
        for (const IpAddress& address : missing) {
            OwnedRoute& owned = owned_.at(address);
            if (!owned.seen && !dropped.contains(address.is_ipv6())) {
                if (++owned.misses < UNPROVEN_ADD_READINGS) {
                    continue;
                }
                const std::string text = address.to_string();
                report_once("unproven:" + text, "RDP route add for " + text +
                                                    " reported success but the route is not in "
                                                    "the table");
            } else if (tracker_.wanted(address)) {
                ++gone;
            }
            tracker_.mark_removed(address);
            owned.lost = true;
            owned.misses = 0;
        }
        for (const IpAddress& address : tracker_.adopted()) {
            const std::optional<HostRoute> row = host_route_through(address, routes());
            if (row && physical_.host_routes().lists(*row) == std::optional(false)) {
                tracker_.mark_removed(address); // looked up again, as after a change
            }
        }
        if (gone > 0) {
            deps_.log("RDP route protection found " + std::to_string(gone) +
                      " host routes gone; adding them again");
        }
    }

    // Each table's outage is logged once. A table that cannot be read keeps the peers it lists
    // as they were; the other table's go on. An IPv4 client of a dual-stack listener is listed
    // in the IPv6 table, so while that one cannot be read, the IPv4 peers it listed last are
    // kept as well.
    void detect(std::uint64_t now) {
        const WatchedPorts ports(rdp_port_.ports(), admin_ports_.ports());
        const Result<PeerSet> ipv4 = deps_.detect_peers(ports);
        std::optional<Result<PeerSet>> ipv6;
        if (deps_.detect_peers6) {
            ipv6 = deps_.detect_peers6(ports);
        }
        note_outage(TCP_TABLE_KEY, ipv4);
        const bool ipv6_read = !ipv6 || *ipv6;
        if (ipv6) {
            note_outage(TCP6_TABLE_KEY, *ipv6);
        }
        if (!ipv4 && !ipv6_read) {
            return; // nothing is refreshed: peers keep ageing through the outage
        }
        PeerSet detected = ipv4 ? *ipv4 : PeerSet{};
        if (ipv6 && *ipv6) {
            listed_by_ipv6_.clear();
            for (const auto& [address, state] : **ipv6) {
                add_sighting(detected, address, state);
                if (!address.is_ipv6()) {
                    listed_by_ipv6_.insert(address);
                }
            }
        }
        std::function<bool(const IpAddress&)> unseen;
        if (!ipv4 || !ipv6_read) {
            unseen = [&](const IpAddress& address) {
                return address.is_ipv6()
                           ? !ipv6_read
                           : !ipv4 || (!ipv6_read && listed_by_ipv6_.contains(address));
            };
        }
        // A family without a physical route gets no host routes until it has one again.
        std::erase_if(detected, [this](const auto& peer) { return !routes().covers(peer.first); });
        screen_.screen(
            detected,
            [this](const IpAddress& address) {
                return deps_.reached_by_default_route(address, routes());
            },
            [this](const IpAddress& address, const std::string& error) {
                report_inspection_failure(address, error);
            });
        if (tracker_.observe(now, detected, unseen)) {
            // Once per episode: a crowd of scanners must not flood the log.
            deps_.log("RDP route protection is at its limit of " +
                      std::to_string(tracker_.max_peers()) + " connected peers; new clients wait");
        }
    }

    void note_outage(std::string_view key, const Result<PeerSet>& read) {
        if (read) {
            reported_failures_.erase(std::string(key));
        } else {
            report_once(key, "RDP peer detection failed: " + read.error());
        }
    }

    void dispatch() {
        while (next_ < backlog_.size() && pool_.free_slots() > 0) {
            const auto& [verb, address] = backlog_[next_++];
            PhysicalRoutes via = routes();
            if (verb == "ADD") {
                if (!routes().covers(address) || !needs_route(address)) {
                    continue;
                }
            } else {
                via = added_via(address);
            }
            in_flight_.insert(address);
            pool_.start({verb, address, ROUTE_COMMAND_TIMEOUT, via});
            // Taken at once, so a run that ended inside start() is logged before the next.
            take_outcomes();
        }
    }

    bool needs_route(const IpAddress& address) {
        const Result<bool> in_place = deps_.route_in_place(address, routes());
        if (!in_place) {
            report_inspection_failure(address, in_place.error());
            return false;
        }
        if (*in_place) {
            // A lost route of ours that turned up is ours again, not adopted; one through a
            // router gone went with it.
            const auto lost = owned_.find(address);
            if (lost != owned_.end() && lost->second.lost) {
                if (same_route(lost->second.via, routes(), address)) {
                    lost->second = OwnedRoute{routes(), physical_.readings()};
                    tracker_.mark_added(address);
                    return false;
                }
                owned_.erase(lost);
            }
            tracker_.mark_present(address);
            return false;
        }
        return true;
    }

    // The routes an owned host route was added through, which its DELETE must name.
    PhysicalRoutes added_via(const IpAddress& address) const {
        const auto found = owned_.find(address);
        return found != owned_.end() ? found->second.via : routes();
    }

    // Whether the route a failed DELETE named is still there. Windows deletes the routes of an
    // adapter that goes away, and a route that is gone cannot be deleted: retried for ever, it
    // would keep its peer from a route through the new physical route. Unknown counts as there.
    bool still_in_place(const RouteJob& job) {
        const Result<bool> in_place = deps_.route_in_place(job.peer, job.via);
        return !in_place || *in_place;
    }

    void removed(const IpAddress& address) {
        tracker_.mark_removed(address);
        owned_.erase(address);
    }

    void take_outcomes() {
        for (const RouteOutcome& outcome : pool_.take_finished()) {
            const IpAddress address = outcome.job.peer;
            const std::string text = address.to_string();
            in_flight_.erase(address);
            if (outcome.job.verb == "ADD") {
                if (outcome.status) {
                    tracker_.mark_added(address);
                    owned_.insert_or_assign(address,
                                            OwnedRoute{outcome.job.via, physical_.readings()});
                    deps_.log("RDP physical return route added for " + text);
                } else {
                    // route.exe may have added the route before it failed or was stopped at
                    // its time-out: if the route turns up, it is ours.
                    owned_.try_emplace(address, OwnedRoute{.via = outcome.job.via,
                                                           .added_at = physical_.readings(),
                                                           .lost = true});
                    report_once("add:" + text, "RDP route add failed: " + outcome.status.error());
                }
            } else if (outcome.status) {
                removed(address);
                deps_.log("RDP physical return route removed for " + text);
            } else if (!still_in_place(outcome.job)) {
                removed(address); // gone already: nothing left to delete
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
    AdminPortWatch admin_ports_;
    BackgroundRead<AdminPortWatch::Reading> admin_read_;
    PhysicalRouteWatch physical_;
    std::set<std::string, std::less<>> reported_failures_;
    std::vector<std::pair<std::string, IpAddress>> backlog_;
    std::size_t next_ = 0;
    std::set<IpAddress> in_flight_;
    std::map<IpAddress, OwnedRoute> owned_;
    std::set<IpAddress> listed_by_ipv6_; // IPv4 peers of the last IPv6 table read
};

} // namespace

void run_protection_loop(const std::atomic<bool>& stop_flag, PeerTracker tracker,
                         const ProtectionDependencies& deps, const PhysicalRoutes& routes,
                         RdpPortWatch rdp_port) {
    SerialPool serial(deps);
    RoutePool& pool = deps.pool != nullptr ? *deps.pool : serial;
    ProtectionWorker worker(std::move(tracker), deps, pool, rdp_port, PhysicalRouteWatch(routes));
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
