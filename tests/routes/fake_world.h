#pragma once
// A scripted world for the protection loop: a clock in milliseconds advanced 250 ms by each
// pause, RDP peers connected during given whole-second spans, scripted failures, and one
// event list holding every route command and log line in the order they happened.

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

class FakeWorld {
  public:
    std::uint64_t ms = 0;
    std::uint64_t stop_at_ms = std::numeric_limits<std::uint64_t>::max();
    std::atomic<bool> stop{false};

    std::map<Ipv4Address, std::vector<Span>> connected;
    // Seconds in which a connected peer shows only half-open (SYN-RECEIVED) connections.
    std::map<Ipv4Address, std::vector<Span>> half_open;
    std::map<Ipv4Address, std::uint16_t> local_port; // of the peer's connection; 3389 if absent
    // The configured RDP port at a given second.
    std::function<RdpPortWatch::Reading(std::uint64_t)> rdp_port = [](std::uint64_t) {
        return RdpPortWatch::Reading(DEFAULT_RDP_PORT);
    };
    std::vector<Span> detection_fails;
    std::set<Ipv4Address> in_place;
    std::set<Ipv4Address> own_route; // private peers that a route of their own leads to
    std::vector<Span> inspection_fails;
    // verb, peer, seconds -> whether route.exe fails.
    std::function<bool(std::string_view, Ipv4Address, std::uint64_t)> command_fails =
        [](std::string_view, Ipv4Address, std::uint64_t) { return false; };

    // Optional progress hook for the deletions at shutdown.
    std::function<void()> route_deleted_at_stop;

    std::vector<std::string> events; // "<ms> <what>"
    int detections = 0;
    int lookups = 0;
    int private_lookups = 0;
    int port_reads = 0;

    std::uint64_t now() const { return ms / 1000; }

    ProtectionDependencies dependencies() {
        ProtectionDependencies deps;
        deps.detect_peers = [this](RdpPorts ports) -> Result<PeerSet> {
            ++detections;
            if (in_any(detection_fails, now())) {
                return fail("GetExtendedTcpTable failed: 122");
            }
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
        deps.read_rdp_port = [this] {
            ++port_reads;
            return rdp_port(now());
        };
        deps.route_in_place = [this](Ipv4Address peer) -> Result<bool> {
            ++lookups;
            if (in_any(inspection_fails, now())) {
                return fail("GetBestRoute(" + peer.to_string() + ") failed: 1168");
            }
            return in_place.contains(peer);
        };
        deps.reached_by_default_route = [this](Ipv4Address peer) -> Result<bool> {
            ++private_lookups;
            if (in_any(inspection_fails, now())) {
                return fail("GetBestRoute(" + peer.to_string() + ") failed: 1168");
            }
            return !own_route.contains(peer);
        };
        deps.run_route_command = [this](std::string_view verb, Ipv4Address peer) -> Status {
            record(std::string(verb) + " " + peer.to_string());
            if (command_fails(verb, peer, now())) {
                return fail("route.exe " + std::string(verb) + " " + peer.to_string() +
                            " exited with exit code: 1");
            }
            return {};
        };
        deps.log = [this](std::string_view line) { record("log " + std::string(line)); };
        deps.now_seconds = [this] { return now(); };
        deps.route_deleted_at_stop = route_deleted_at_stop;
        deps.pause = [this] {
            ms += 250;
            if (ms >= stop_at_ms) {
                stop = true;
            }
        };
        return deps;
    }

    void run(PeerTracker tracker = PeerTracker(), RdpPortWatch rdp_port = {}) {
        const ProtectionDependencies deps = dependencies();
        run_protection_loop(stop, std::move(tracker), deps, rdp_port);
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
    void record(const std::string& what) { events.push_back(at(ms, what)); }
};

} // namespace kestrune::routes::testing_support
