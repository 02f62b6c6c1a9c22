#pragma once
// Which RDP peers are wanted and which of their host routes exist. A peer stays wanted until
// the TTL has passed since it was last seen; routes this worker added ("owned") are deleted
// when their peer is no longer wanted, routes found already in place ("adopted") never are.

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "routes/ipv4_address.h"

namespace kestrune::routes {

struct PeerPlan {
    std::vector<Ipv4Address> to_add;    // wanted, no host route known to be in place
    std::vector<Ipv4Address> to_remove; // owned, no longer wanted
};

class PeerTracker {
  public:
    static constexpr std::uint64_t PEER_TTL_SECONDS = 600;
    static constexpr std::uint64_t MAX_PEERS = 32;

    explicit PeerTracker(std::uint64_t peer_ttl_seconds = PEER_TTL_SECONDS,
                         std::uint64_t max_peers = MAX_PEERS)
        : peer_ttl_seconds_(peer_ttl_seconds), max_peers_(max_peers) {}

    // Refreshes the peers seen now. New peers are admitted lowest address first while there
    // is room; the others wait, unrecorded, for a later pass.
    void observe(std::uint64_t now, const std::set<Ipv4Address>& detected);
    // Forgets the peers whose TTL has run out, then says what to add and what to delete.
    PeerPlan plan(std::uint64_t now);

    void mark_present(Ipv4Address address);
    void mark_added(Ipv4Address address);
    void mark_removed(Ipv4Address address);
    // The routes still to delete at shutdown, ascending; afterwards nothing is owned.
    std::vector<Ipv4Address> take_owned();

  private:
    std::uint64_t peer_ttl_seconds_;
    std::uint64_t max_peers_;
    std::map<Ipv4Address, std::uint64_t> last_seen_;
    std::set<Ipv4Address> present_;
    std::set<Ipv4Address> owned_; // always a subset of present_
};

} // namespace kestrune::routes
