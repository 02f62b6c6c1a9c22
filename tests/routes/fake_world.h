#pragma once
// A scripted world for the protection loop: a clock in milliseconds advanced 250 ms by each
// pause, RDP peers connected during given whole-second spans, scripted failures, and one
// event list holding every route command and log line in the order they happened.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "routes/protection_loop.h"

namespace kestrune::routes::testing_support {

struct Span {
    std::uint64_t first; // seconds, inclusive
    std::uint64_t last;  // seconds, inclusive
    bool contains(std::uint64_t second) const { return second >= first && second <= last; }
};

class FakeWorld;

// Route commands side by side in fake time: each run takes `run_ms` of it (or ends at its
// bound, failing), at most `slots` at once; waiting moves the clock to the next end or the
// deadline.
class FakePool final : public RoutePool {
  public:
    FakePool(FakeWorld& world, std::size_t slots) : world_(world), slots_(slots) {}
    std::function<std::uint64_t(std::string_view verb, IpAddress)> run_ms =
        [](std::string_view, IpAddress) { return std::uint64_t{250}; };
    std::size_t most_running = 0;

    std::size_t free_slots() const override {
        return slots_ > running_.size() ? slots_ - running_.size() : 0;
    }
    void set_slots(std::size_t slots) override { slots_ = slots; }
    void start(RouteJob job) override;
    std::vector<RouteOutcome> take_finished() override { return std::exchange(finished_, {}); }
    std::size_t running() const override { return running_.size(); }
    std::uint64_t now_ms() const override;
    bool wait_until(std::uint64_t deadline_ms) override;

  private:
    FakeWorld& world_;
    std::size_t slots_;
    std::multimap<std::uint64_t, RouteJob> running_; // by end
    std::vector<RouteOutcome> finished_;
};

class FakeWorld {
  public:
    std::uint64_t ms = 0;
    std::uint64_t stop_at_ms = std::numeric_limits<std::uint64_t>::max();
    std::atomic<bool> stop{false};

    std::map<IpAddress, std::vector<Span>> connected;
    // Seconds in which a connected peer shows only half-open (SYN-RECEIVED) connections.
    std::map<IpAddress, std::vector<Span>> half_open;
    std::map<IpAddress, std::uint16_t> local_port; // of the peer's connection; 3389 if absent
    // The configured RDP port at a given second.
    std::function<RdpPortWatch::Reading(std::uint64_t)> rdp_port = [](std::uint64_t) {
        return RdpPortWatch::Reading(DEFAULT_RDP_PORT);
    };
    // When set, the other services' ports at a given second.
    std::function<AdminPortWatch::Reading(std::uint64_t)> admin_ports;
    std::vector<Span> detection_fails;
    // IPv6 peers come from a table of their own, which fails during these spans.
    bool ipv6_table = false;
    std::vector<Span> ipv6_detection_fails;
    std::set<IpAddress> in_place; // adopted: host routes someone else added
    // The physical routes at start, and, when set, those the routing table has at a second.
    PhysicalRoutes routes{
        PhysicalRoute{{10, 0, 0, 1}, 7},
        PhysicalRoute6{*Ipv6Address::from_hex("fe800000000000000000000000000001"), 7}};
    std::function<RouteReadings(std::uint64_t)> physical_routes;
    // Host routes that route.exe added, each as the table lists it; a DELETE must name the
    // route it went through. With `physical_routes` set, every reading lists them.
    std::map<IpAddress, HostRoute> routed;
    // Peers whose ADD exits 0 and leaves no route.
    std::set<IpAddress> adds_without_route;
    std::set<IpAddress> own_route; // private peers that a route of their own leads to
    std::vector<Span> inspection_fails;
    // verb, peer, seconds -> whether route.exe fails.
    std::function<bool(std::string_view, IpAddress, std::uint64_t)> command_fails =
        [](std::string_view, IpAddress, std::uint64_t) { return false; };

    // Optional progress hook for the deletions at shutdown.
    std::function<void()> route_deleted_at_stop;

    std::vector<std::string> events; // "<ms> <what>"
    std::vector<std::uint64_t> detected_at_ms;
    FakePool* pool = nullptr; // set: commands run on it, side by side
    int detections = 0;
    int lookups = 0;
    int private_lookups = 0;
    int port_reads = 0;

    std::uint64_t now() const { return ms / 1000; }

    ProtectionDependencies dependencies() {
        ProtectionDependencies deps;
        // Every connected peer of both families, as one table would list them.
        const auto listed = [this](const WatchedPorts& ports) {
            PeerSet peers;
            for (const auto& [address, spans] : connected) {
                const auto port = local_port.find(address);
                if (in_any(spans, now()) &&
                    ports.contains(port == local_port.end() ? DEFAULT_RDP_PORT : port->second)) {
                    const bool syn_only =
                        half_open.contains(address) && in_any(half_open.at(address), now());
                    peers.emplace(address,
                                  syn_only ? PeerState::half_open : PeerState::established);
                }
            }
            return peers;
        };
        // With an IPv6 table each table lists its own family, and each fails on its own.
        deps.detect_peers = [this, listed](const WatchedPorts& ports) -> Result<PeerSet> {
            ++detections;
            detected_at_ms.push_back(ms);
            if (in_any(detection_fails, now())) {
                return fail("GetExtendedTcpTable failed: 122");
            }
            PeerSet peers = listed(ports);
            std::erase_if(peers, [this](const auto& p) { return ipv6_table && p.first.is_ipv6(); });
            return peers;
        };
        if (ipv6_table) {
            deps.detect_peers6 = [this, listed](const WatchedPorts& ports) -> Result<PeerSet> {
                if (in_any(ipv6_detection_fails, now())) {
                    return fail("GetTcp6Table failed: 50");
                }
                PeerSet peers = listed(ports);
                std::erase_if(peers, [](const auto& p) { return !p.first.is_ipv6(); });
                return peers;
            };
        }
        deps.read_rdp_port = [this] {
            ++port_reads;
            return rdp_port(now());
        };
        if (admin_ports) {
            deps.read_admin_ports = [this] { return admin_ports(now()); };
        }
        if (physical_routes) {
            deps.read_physical_routes = [this](const PhysicalRoutes&) {
                RouteReadings readings = physical_routes(now());
                RouteTable<Ipv4Address> ipv4;
                RouteTable<Ipv6Address> ipv6;
                std::map<IpAddress, HostRoute> rows = routed;
                for (const IpAddress& peer : in_place) {
                    rows.emplace(peer, *host_route_through(peer, routes));
                }
                for (const auto& [peer, row] : rows) {
                    if (peer.is_ipv6()) {
                        ipv6.push_back(
                            {peer.ipv6(), 128, row.next_hop.ipv6(), row.interface_index});
                    } else {
                        ipv4.push_back({peer.ipv4(), 32, row.next_hop.ipv4(), row.interface_index});
                    }
                }
                readings.hosts = {HostRoutes<Ipv4Address>(ipv4), HostRoutes<Ipv6Address>(ipv6)};
                return readings;
            };
        }
        deps.route_in_place = [this](IpAddress peer, const PhysicalRoutes& via) -> Result<bool> {
            ++lookups;
            if (in_any(inspection_fails, now())) {
                return fail("GetBestRoute(" + peer.to_string() + ") failed: 1168");
            }
            const auto found = routed.find(peer);
            return in_place.contains(peer) ||
                   (found != routed.end() && found->second == host_route_through(peer, via));
        };
        deps.reached_by_default_route = [this](IpAddress peer,
                                               const PhysicalRoutes&) -> Result<bool> {
            ++private_lookups;
            if (in_any(inspection_fails, now())) {
                return fail("GetBestRoute(" + peer.to_string() + ") failed: 1168");
            }
            return !own_route.contains(peer);
        };
        deps.run_route_command = [this](std::string_view verb, IpAddress peer,
                                        const PhysicalRoutes& via) -> Status {
            record(command_text(verb, peer, via));
            if (!carry_out(verb, peer, via)) {
                return fail("route.exe " + std::string(verb) + " " + peer.to_string() +
                            " exited with exit code: 1");
            }
            return {};
        };
        deps.log = [this](std::string_view line) { record("log " + std::string(line)); };
        deps.now_seconds = [this] { return now(); };
        deps.route_deleted_at_stop = route_deleted_at_stop;
        deps.pool = pool;
        deps.pause = [this] {
            ms += 250;
            if (ms >= stop_at_ms) {
                stop = true;
            }
        };
        return deps;
    }

    // The tracker's random ties: 0 keeps address order within a pass.
    std::function<std::uint64_t()> random = [] { return std::uint64_t{0}; };

    void run(PeerTracker tracker = PeerTracker(), RdpPortWatch rdp_port = {}) {
        const ProtectionDependencies deps = dependencies();
        tracker.set_random(random);
        run_protection_loop(stop, std::move(tracker), deps, routes, rdp_port);
    }

    // The peer's family's route in `via`, as the log shows it.
    static std::string via_text(const IpAddress& peer, const PhysicalRoutes& via) {
        if (peer.is_ipv6()) {
            return via.ipv6 ? route_text(*via.ipv6) : "none";
        }
        return via.ipv4 ? route_text(*via.ipv4) : "none";
    }

    // "VERB PEER", and " via ROUTE" when that is not the route of the start.
    std::string command_text(std::string_view verb, const IpAddress& peer,
                             const PhysicalRoutes& via) const {
        std::string text = std::string(verb) + " " + peer.to_string();
        if (via_text(peer, via) != via_text(peer, routes)) {
            text += " via " + via_text(peer, via);
        }
        return text;
    }

    // route.exe's effect on the table: false when it fails (scripted, or a DELETE of a route
    // that is not there).
    bool carry_out(std::string_view verb, const IpAddress& peer, const PhysicalRoutes& via) {
        if (command_fails(verb, peer, now())) {
            return false;
        }
        if (verb == "ADD") {
            if (!adds_without_route.contains(peer)) {
                routed[peer] = *host_route_through(peer, via);
            }
            return true;
        }
        const auto found = routed.find(peer);
        if (found == routed.end() || found->second != host_route_through(peer, via)) {
            return false;
        }
        routed.erase(found);
        return true;
    }

    static std::string at(std::uint64_t when_ms, const std::string& what) {
        return std::to_string(when_ms) + " " + what;
    }

  private:
    static bool in_any(const std::vector<Span>& spans, std::uint64_t second) {
        for (const Span& span : spans) {
            if (span.contains(second)) {
                return true;
            }
        }
        return false;
    }

  public:
    void record(const std::string& what) { events.push_back(at(ms, what)); }
};

inline void FakePool::start(RouteJob job) {
    world_.record(world_.command_text(job.verb, job.peer, job.via));
    const std::uint64_t bound = static_cast<std::uint64_t>(job.timeout.count());
    const bool add = job.verb == "ADD";
    running_.emplace(world_.ms + std::min(run_ms(job.verb, job.peer), bound), std::move(job));
    if (add) { // before the stop
        most_running = std::max(most_running, running_.size());
    }
}

inline std::uint64_t FakePool::now_ms() const {
    return world_.ms;
}

inline bool FakePool::wait_until(std::uint64_t deadline_ms) {
    const bool ends = !running_.empty() && running_.begin()->first <= deadline_ms;
    world_.ms = std::max(world_.ms, ends ? running_.begin()->first : deadline_ms);
    while (!running_.empty() && running_.begin()->first <= world_.ms) {
        RouteJob job = std::move(running_.begin()->second);
        const bool timed_out =
            run_ms(job.verb, job.peer) > static_cast<std::uint64_t>(job.timeout.count());
        running_.erase(running_.begin());
        Status status;
        if (timed_out || !world_.carry_out(job.verb, job.peer, job.via)) {
            status = fail("route.exe " + job.verb + " " + job.peer.to_string() +
                          (timed_out ? ": timed out" : " exited with exit code: 1"));
        }
        finished_.push_back({std::move(job), std::move(status)});
    }
    if (world_.ms >= world_.stop_at_ms) {
        world_.stop = true;
    }
    return ends;
}

} // namespace kestrune::routes::testing_support
