#include "routes/peer_tracker.h"

#include <algorithm>
#include <utility>

#include "routes/public_address.h"

namespace kestrune::routes {

bool PeerTracker::observe(std::uint64_t now, const PeerSet& detected) {
    std::vector<std::pair<Ipv4Address, PeerState>> newcomers;
    for (const auto& [address, state] : detected) {
        if (!may_need_host_route(address)) {
            continue;
        }
        if (const auto found = wanted_.find(address); found != wanted_.end()) {
            found->second.last_seen = now;
            if (state == PeerState::established) {
                found->second.state = state;
            }
        } else {
            newcomers.emplace_back(address, state);
        }
    }

    // Made only when the set is full, which a busy host reaches and a quiet one never does.
    std::vector<Ipv4Address> gone;
    bool gone_listed = false;
    std::size_t next_gone = 0;
    bool waiting = false;
    for (const auto& [address, state] : newcomers) {
        if (wanted_.size() >= max_peers_) {
            if (!gone_listed) {
                gone = gone_least_recent_first(detected);
                gone_listed = true;
            }
            if (next_gone == gone.size()) {
                waiting = true; // this one and every higher newcomer
                break;
            }
            forget(gone[next_gone++]);
        }
        wanted_.emplace(address, WantedPeer{now, state});
    }
    const bool episode_begins = waiting && !peers_waiting_;
    peers_waiting_ = waiting;
    return episode_begins;
}

std::vector<Ipv4Address> PeerTracker::gone_least_recent_first(const PeerSet& detected) const {
    std::vector<std::pair<std::uint64_t, Ipv4Address>> gone;
    for (const auto& [address, peer] : wanted_) {
        if (!detected.contains(address)) {
            gone.emplace_back(peer.last_seen, address);
        }
    }
    // Among peers last seen in the same second, the lowest address goes first.
    std::sort(gone.begin(), gone.end());
    std::vector<Ipv4Address> addresses;
    addresses.reserve(gone.size());
    for (const auto& [last_seen, address] : gone) {
        addresses.push_back(address);
    }
    return addresses;
}

PeerPlan PeerTracker::plan(std::uint64_t now) {
    for (auto it = wanted_.begin(); it != wanted_.end();) {
        const auto [address, peer] = *it++;
        const std::uint64_t age = now > peer.last_seen ? now - peer.last_seen : 0;
        const std::uint64_t ttl = peer.state == PeerState::established
                                      ? peer_ttl_seconds_
                                      : std::min(half_open_ttl_seconds_, peer_ttl_seconds_);
        if (age >= ttl) {
            forget(address);
        }
    }
    PeerPlan plan;
    for (const Ipv4Address address : owned_) {
        if (!wanted_.contains(address)) {
            plan.to_remove.push_back(address);
        }
    }
    for (const auto& [address, peer] : wanted_) {
        if (!present_.contains(address)) {
            plan.to_add.push_back(address);
        }
    }
    return plan;
}

void PeerTracker::forget(Ipv4Address address) {
    wanted_.erase(address);
    if (!owned_.contains(address)) {
        present_.erase(address);
    }
}

void PeerTracker::mark_present(Ipv4Address address) {
    present_.insert(address);
}

void PeerTracker::mark_added(Ipv4Address address) {
    present_.insert(address);
    owned_.insert(address);
}

void PeerTracker::mark_removed(Ipv4Address address) {
    present_.erase(address);
    owned_.erase(address);
}

std::vector<Ipv4Address> PeerTracker::take_owned() {
    std::vector<Ipv4Address> owned(owned_.begin(), owned_.end());
    for (const Ipv4Address address : owned) {
        present_.erase(address);
    }
    owned_.clear();
    return owned;
}

} // namespace kestrune::routes
