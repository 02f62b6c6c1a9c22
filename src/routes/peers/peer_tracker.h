#pragma once
// Which RDP peers are wanted and which of their host routes exist. A peer stays wanted until
// its TTL has passed since it was last seen, or until a newcomer needs its place; routes this
// worker added ("owned") are deleted when their peer is no longer wanted, routes found already
// in place ("adopted") never are.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "routes/addresses/ip_address.h"
#include "routes/peers/tcp_table.h"

namespace kestrune::routes {

struct PeerPlan {
    // Wanted, no host route known to be in place, in the order to add them: peers seen
    // established first (longest waiting first); then half-open ones that were established
    // earlier in the run (returning clients), newest first; then the other half-open ones, every
    // other place to the newest and every other to one drawn at random from those still
    // waiting. Half-open peers that have waited past HALF_OPEN_ADD_WAIT_SECONDS are left out.
    // Peers first seen in the same pass are in random order: no address range wins.
    std::vector<IpAddress> to_add;
    std::vector<IpAddress> to_remove; // owned, no longer wanted, ascending
};

class PeerTracker {
  public:
    static constexpr std::uint64_t PEER_TTL_SECONDS = 600;
    // For a peer never seen past the handshake: a scan must not leave hundreds of host routes
    // behind for ten minutes.
    static constexpr std::uint64_t HALF_OPEN_TTL_SECONDS = 30;
    static constexpr std::uint64_t MAX_PEERS = 256;
    // A client whose SYN has gone unanswered this long has given up (Windows retransmits after
    // about 1, 3, 7 and 15 s and gives up at about 21 s): a route for it would only cost a
    // route.exe run that a newer client needs.
    static constexpr std::uint64_t HALF_OPEN_ADD_WAIT_SECONDS = 20;
    // Live half-open peers that made room for newer ones, remembered so they are not readmitted
    // while their rows last (a flood's SYN-RECEIVED rows live about a minute); at most this
    // many, so a flood cannot grow the service's memory without bound.
    static constexpr std::size_t MAX_PASSED_OVER = 16384;
    // Addresses seen established, remembered so that a client who comes back while a scan wave
    // or a flood keeps route.exe busy is served before unknown half-open peers: at most this
    // many (about 80 bytes each), each for this long after it was last seen established. When
    // full, the one seen established longest ago makes room.
    static constexpr std::size_t MAX_RETURNING = 4096;
    static constexpr std::uint64_t RETURNING_MEMORY_SECONDS = 24 * 60 * 60;

    // Where the random tie orders come from: by default a generator seeded from the system's
    // random device. Tests set a sequence of their own; one that always returns 0 keeps
    // address order within a pass and the newest first throughout.
    void set_random(std::function<std::uint64_t()> random) { random_ = std::move(random); }

    // A half-open peer keeps the shorter of the two TTLs.
    explicit PeerTracker(std::uint64_t peer_ttl_seconds = PEER_TTL_SECONDS,
                         std::uint64_t max_peers = MAX_PEERS,
                         std::uint64_t half_open_ttl_seconds = HALF_OPEN_TTL_SECONDS)
        : peer_ttl_seconds_(peer_ttl_seconds), half_open_ttl_seconds_(half_open_ttl_seconds),
          max_peers_(max_peers), random_(system_random()) {}

    // Refreshes the peers seen now and admits new ones, lowest address first. A wanted peer
    // not in `detected` is gone; when the wanted set is full, a newcomer takes the place of the
    // gone peer seen least recently or, when none is gone, of the live peer never seen past the
    // handshake that came first (a scan or a SYN flood must not lock real clients out). Live
    // peers seen established are never dropped: while all wanted peers are, a newcomer waits,
    // unrecorded, for a later pass. Returns true when peers wait now and none waited at the
    // previous observation, so the limit is logged once per such episode.
    // `unseen`, when given, names the peers missing from `detected` only because the table that
    // lists them could not be read: they are neither refreshed nor gone, so they make no room.
    [[nodiscard]] bool observe(std::uint64_t now, const PeerSet& detected,
                               const std::function<bool(const IpAddress&)>& unseen = {});
    // Forgets the peers whose TTL has run out, then says what to add and what to delete.
    PeerPlan plan(std::uint64_t now);

    void mark_present(const IpAddress& address);
    void mark_added(const IpAddress& address);
    void mark_removed(const IpAddress& address);
    // Routes found in place are looked up again: after the physical route changed, one through
    // the old router no longer serves.
    void recheck_adopted();
    // The peers whose host routes were found in place, not added: ascending.
    std::vector<IpAddress> adopted() const;
    // The routes still to delete at shutdown, ascending; afterwards nothing is owned.
    std::vector<IpAddress> take_owned();

    std::uint64_t max_peers() const { return max_peers_; }
    bool wanted(const IpAddress& address) const { return wanted_.contains(address); }

  private:
    struct WantedPeer {
        std::uint64_t last_seen;
        PeerState state; // established once any sighting was
        std::uint64_t first_seen;
        std::uint64_t arrival; // order of admission
        std::uint64_t pass;    // the observation that admitted it
        std::uint64_t tie;     // random: the order among those of one pass
    };

    static std::function<std::uint64_t()> system_random();
    bool returning(const IpAddress& address) const { return returning_.contains(address); }
    void remember_established(std::uint64_t now, const IpAddress& address);
    // The half-open peers to add, newest first with every other place drawn at random.
    std::vector<IpAddress> shared_half_open(std::vector<IpAddress> newest_first);

    // No longer wanted: an adopted route is forgotten, not deleted; an owned one stays in
    // owned_ until its DELETE succeeds.
    void forget(const IpAddress& address);
    // Who makes room for newcomers, in order: gone peers seen least recently, then live
    // half-open ones admitted first.
    std::vector<IpAddress>
    evictable_in_order(const PeerSet& detected,
                       const std::function<bool(const IpAddress&)>& unseen) const;

    std::uint64_t peer_ttl_seconds_;
    std::uint64_t half_open_ttl_seconds_;
    std::uint64_t max_peers_;
    std::map<IpAddress, WantedPeer> wanted_;
    std::set<IpAddress> present_;
    std::set<IpAddress> owned_; // always a subset of present_
    std::set<IpAddress> passed_over_;
    bool peers_waiting_ = false; // at the last observation
    std::uint64_t admissions_ = 0;
    std::uint64_t observations_ = 0;
    std::map<IpAddress, std::uint64_t> returning_; // when last seen established
    std::uint64_t returning_swept_at_ = 0;
    std::function<std::uint64_t()> random_;
};

} // namespace kestrune::routes
