#include "routes/peers/peer_tracker.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <random>
#include <tuple>
#include <utility>

#include "routes/addresses/public_address.h"

namespace kestrune::routes {

std::function<std::uint64_t()> PeerTracker::system_random() {
    return [generator = std::make_shared<std::mt19937_64>(std::random_device{}())] {
        return (*generator)();
    };
}

bool PeerTracker::observe(std::uint64_t now, const PeerSet& detected,
                          const std::function<bool(const IpAddress&)>& unseen) {
    // A peer passed over stays so while it is still there half-open; one that has gone, or got
    // past the handshake, is a peer like any other again.
    std::erase_if(passed_over_, [&](const IpAddress& address) {
        const auto found = detected.find(address);
        return found == detected.end() ? !(unseen && unseen(address))
                                       : found->second == PeerState::established;
    });
    ++observations_;
    // (returning last, tie, address, state): the order of admission, which decides who gets in
    // at the limit and, among half-open peers of this pass, who is served first.
    std::vector<std::tuple<bool, std::uint64_t, IpAddress, PeerState>> newcomers;
    for (const auto& [address, state] : detected) {
        if (!may_need_host_route(address) || passed_over_.contains(address)) {
            continue;
        }
        if (state == PeerState::established) {
            remember_established(now, address);
        }
        if (const auto found = wanted_.find(address); found != wanted_.end()) {
            found->second.last_seen = now;
            if (state == PeerState::established) {
                found->second.state = state;
            }
        } else {
            newcomers.emplace_back(!returning(address), random_(), address, state);
        }
    }
    std::sort(newcomers.begin(), newcomers.end());

    // Made only when the set is full, which a busy host reaches and a quiet one never does.
    std::vector<IpAddress> gone;
    bool gone_listed = false;
    std::size_t next_gone = 0;
    bool waiting = false;
    for (const auto& [unknown, tie, address, state] : newcomers) {
        if (wanted_.size() >= max_peers_) {
            if (!gone_listed) {
                gone = evictable_in_order(detected, unseen);
                gone_listed = true;
            }
            if (next_gone == gone.size()) {
                waiting = true; // this one and every later newcomer
                break;
            }
            const IpAddress evicted = gone[next_gone++];
            // A live half-open peer made room for a newer one: were it readmitted next pass, a
            // flood's thousands of half-open rows would take turns evicting each other, and a
            // client arriving among them would never stay long enough to get its route.
            if (detected.contains(evicted) && passed_over_.size() < MAX_PASSED_OVER) {
                passed_over_.insert(evicted);
            }
            forget(evicted);
        }
        wanted_.emplace(address, WantedPeer{now, state, now, admissions_++, observations_, tie});
    }
    const bool episode_begins = waiting && !peers_waiting_;
    // Peers that could not be seen may still be waiting: the episode goes on.
    peers_waiting_ = waiting || (unseen && peers_waiting_);
    return episode_begins;
}

std::vector<IpAddress>
PeerTracker::evictable_in_order(const PeerSet& detected,
                                const std::function<bool(const IpAddress&)>& unseen) const {
    // (live, returning, when, address): gone peers first, by last sighting (the lowest address
    // first among those of one second); then live half-open ones by admission, those that were
    // established before last.
    std::vector<std::tuple<bool, bool, std::uint64_t, IpAddress>> candidates;
    for (const auto& [address, peer] : wanted_) {
        if (!detected.contains(address)) {
            if (!(unseen && unseen(address))) {
                candidates.emplace_back(false, false, peer.last_seen, address);
            }
        } else if (peer.state == PeerState::half_open) {
            candidates.emplace_back(true, returning(address), peer.arrival, address);
        }
    }
    std::sort(candidates.begin(), candidates.end());
    std::vector<IpAddress> addresses;
    addresses.reserve(candidates.size());
    for (const auto& candidate : candidates) {
        addresses.push_back(std::get<3>(candidate));
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
    for (const IpAddress& address : owned_) {
        if (!wanted_.contains(address)) {
            plan.to_remove.push_back(address);
        }
    }
    // (class, key, tie, key, address): established peers by admission; then half-open ones,
    // returning before unknown, newest first, by the pass that admitted them and not by the
    // second they came in: a flood brings hundreds in one second, and the client who came after
    // them must not wait behind them. The newest have the most SYN retransmissions left, so
    // when route.exe cannot keep up with a scan wave, the runs go to clients that can still get
    // in. Within one pass the random tie decides, not the address an attacker chose.
    std::vector<std::tuple<int, std::uint64_t, std::uint64_t, std::uint64_t, IpAddress>> candidates;
    for (const auto& [address, peer] : wanted_) {
        if (present_.contains(address)) {
            continue;
        }
        if (peer.state == PeerState::established) {
            candidates.emplace_back(0, peer.arrival, 0, 0, address);
        } else if (now - std::min(now, peer.first_seen) <= HALF_OPEN_ADD_WAIT_SECONDS) {
            candidates.emplace_back(returning(address) ? 1 : 2, ~peer.pass, peer.tie, ~peer.arrival,
                                    address);
        }
    }
    std::sort(candidates.begin(), candidates.end());
    std::vector<IpAddress> unknown;
    for (const auto& candidate : candidates) {
        if (std::get<0>(candidate) < 2) {
            plan.to_add.push_back(std::get<4>(candidate));
        } else {
            unknown.push_back(std::get<4>(candidate));
        }
    }
    for (const IpAddress& address : shared_half_open(std::move(unknown))) {
        plan.to_add.push_back(address);
    }
    return plan;
}

std::vector<IpAddress> PeerTracker::shared_half_open(std::vector<IpAddress> newest_first) {
    // Newest first alone serves a newcomer only in the pass it arrived while new addresses come
    // faster than route.exe runs; every other run to a peer drawn from all still waiting keeps
    // each one's chance above zero for as long as it keeps retransmitting. The draw is a
    // shuffle whose first step keeps an element in place when the generator says 0.
    const std::size_t count = newest_first.size();
    std::vector<std::size_t> drawn(count);
    for (std::size_t k = 0; k < count; ++k) {
        drawn[k] = k;
    }
    for (std::size_t k = 0; k + 1 < count; ++k) {
        std::swap(drawn[k], drawn[k + random_() % (count - k)]);
    }
    std::vector<IpAddress> order;
    order.reserve(count);
    std::vector<bool> taken(count, false);
    std::size_t newest = 0, draw = 0;
    const auto take = [&](std::size_t index) {
        taken[index] = true;
        order.push_back(newest_first[index]);
    };
    while (order.size() < count) {
        while (taken[newest]) {
            ++newest;
        }
        take(newest);
        while (draw < count && taken[drawn[draw]]) {
            ++draw;
        }
        if (draw < count) {
            take(drawn[draw]);
        }
    }
    return order;
}

void PeerTracker::remember_established(std::uint64_t now, const IpAddress& address) {
    if (now != returning_swept_at_) { // once a second is plenty for a memory of a day
        returning_swept_at_ = now;
        std::erase_if(returning_, [now](const auto& entry) {
            return now - std::min(now, entry.second) > RETURNING_MEMORY_SECONDS;
        });
    }
    if (!returning_.contains(address) && returning_.size() >= MAX_RETURNING) {
        returning_.erase(
            std::min_element(returning_.begin(), returning_.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    returning_.insert_or_assign(address, now);
}

void PeerTracker::forget(const IpAddress& address) {
    wanted_.erase(address);
    if (!owned_.contains(address)) {
        present_.erase(address);
    }
}

void PeerTracker::mark_present(const IpAddress& address) {
    present_.insert(address);
}

void PeerTracker::recheck_adopted() {
    std::erase_if(present_, [this](const IpAddress& address) { return !owned_.contains(address); });
}

std::vector<IpAddress> PeerTracker::adopted() const {
    std::vector<IpAddress> adopted;
    std::set_difference(present_.begin(), present_.end(), owned_.begin(), owned_.end(),
                        std::back_inserter(adopted));
    return adopted;
}

void PeerTracker::mark_added(const IpAddress& address) {
    present_.insert(address);
    owned_.insert(address);
}

void PeerTracker::mark_removed(const IpAddress& address) {
    present_.erase(address);
    owned_.erase(address);
}

std::vector<IpAddress> PeerTracker::take_owned() {
    std::vector<IpAddress> owned(owned_.begin(), owned_.end());
    for (const IpAddress& address : owned) {
        present_.erase(address);
    }
    owned_.clear();
    return owned;
}

} // namespace kestrune::routes
