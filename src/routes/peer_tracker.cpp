#include "routes/peer_tracker.h"

#include "routes/public_address.h"

namespace kestrune::routes {

void PeerTracker::observe(std::uint64_t now, const std::set<Ipv4Address>& detected) {
    for (const Ipv4Address address : detected) {
        if (!may_need_host_route(address)) {
            continue;
        }
        if (const auto found = last_seen_.find(address); found != last_seen_.end()) {
            found->second = now;
        } else if (last_seen_.size() < max_peers_) {
            last_seen_.emplace(address, now);
        }
    }
}

PeerPlan PeerTracker::plan(std::uint64_t now) {
    for (auto it = last_seen_.begin(); it != last_seen_.end();) {
        const std::uint64_t age = now > it->second ? now - it->second : 0;
        if (age < peer_ttl_seconds_) {
            ++it;
            continue;
        }
        // An adopted route is forgotten, not deleted; an owned one waits in owned_ for its
        // DELETE.
        if (!owned_.contains(it->first)) {
            present_.erase(it->first);
        }
        it = last_seen_.erase(it);
    }
    PeerPlan plan;
    for (const Ipv4Address address : owned_) {
        if (!last_seen_.contains(address)) {
            plan.to_remove.push_back(address);
        }
    }
    for (const auto& [address, seen] : last_seen_) {
        if (!present_.contains(address)) {
            plan.to_add.push_back(address);
        }
    }
    return plan;
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
