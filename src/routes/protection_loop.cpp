#include "routes/protection_loop.h"

#include <set>
#include <string>

namespace kestrune::routes {
namespace {

class ProtectionWorker {
  public:
    ProtectionWorker(PeerTracker tracker, const ProtectionDependencies& deps, RdpPortWatch rdp_port)
        : tracker_(std::move(tracker)), deps_(deps), rdp_port_(rdp_port) {}

    void run_pass() {
        const std::uint64_t now = deps_.now_seconds();
        if (const auto line = rdp_port_.refresh(now, deps_.read_rdp_port)) {
            deps_.log(*line);
        }
        auto detected = deps_.detect_peers(rdp_port_.ports());
        if (detected) {
            reported_failures_.erase(std::string(TCP_TABLE_KEY));
            screen_.screen(*detected, deps_.reached_by_default_route,
                           [this](Ipv4Address address, const std::string& error) {
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

        const PeerPlan plan = tracker_.plan(now);
        for (const Ipv4Address address : plan.to_add) {
            add_route(address);
        }
        for (const Ipv4Address address : plan.to_remove) {
            const std::string text = address.to_string();
            const Status removed = deps_.run_route_command("DELETE", address);
            if (removed) {
                tracker_.mark_removed(address);
                deps_.log("RDP physical return route removed for " + text);
            } else {
                report_once("remove:" + text, "RDP route removal failed: " + removed.error());
            }
        }
    }

    void shut_down() {
        for (const Ipv4Address address : tracker_.take_owned()) {
            // Nothing more can be done about a failure here: the route stays in the table.
            (void)deps_.run_route_command("DELETE", address);
            if (deps_.route_deleted_at_stop) {
                deps_.route_deleted_at_stop();
            }
        }
        deps_.log("RDP route protection stopped");
    }

  private:
    static constexpr std::string_view TCP_TABLE_KEY = "tcp-table";

    void add_route(Ipv4Address address) {
        const std::string text = address.to_string();
        const Result<bool> in_place = deps_.route_in_place(address);
        if (!in_place) {
            report_inspection_failure(address, in_place.error());
            return;
        }
        if (*in_place) {
            tracker_.mark_present(address);
            return;
        }
        const Status added = deps_.run_route_command("ADD", address);
        if (added) {
            tracker_.mark_added(address);
            deps_.log("RDP physical return route added for " + text);
        } else {
            report_once("add:" + text, "RDP route add failed: " + added.error());
        }
    }

    // Both lookups of a peer's route share one line per address.
    void report_inspection_failure(Ipv4Address address, const std::string& error) {
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
    RdpPortWatch rdp_port_;
    std::set<std::string, std::less<>> reported_failures_;
};

} // namespace

void run_protection_loop(const std::atomic<bool>& stop_flag, PeerTracker tracker,
                         const ProtectionDependencies& deps, RdpPortWatch rdp_port) {
    ProtectionWorker worker(std::move(tracker), deps, rdp_port);
    while (!stop_flag.load()) {
        worker.run_pass();
        deps.pause();
    }
    worker.shut_down();
}

} // namespace kestrune::routes
