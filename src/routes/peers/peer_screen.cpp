#include "routes/peers/peer_screen.h"

#include "routes/addresses/public_address.h"

namespace kestrune::routes {

void PeerScreen::screen(PeerSet& detected, const Lookup& reached_by_default,
                        const LookupFailed& failed) {
    // A peer that comes back is looked at afresh: its best route is then either still the
    // default one or the host route it got, and both count.
    std::erase_if(decisions_,
                  [&](const auto& decision) { return !detected.contains(decision.first); });
    std::erase_if(detected, [&](const auto& peer) {
        return !counts(peer.first, reached_by_default, failed);
    });
}

bool PeerScreen::counts(const IpAddress& address, const Lookup& reached_by_default,
                        const LookupFailed& failed) {
    switch (address_kind(address)) {
    case AddressKind::global:
        return true;
    case AddressKind::special:
        return false;
    case AddressKind::private_use:
        break;
    }
    if (const auto found = decisions_.find(address); found != decisions_.end()) {
        return found->second;
    }
    if (decisions_.size() >= max_decisions_) {
        return false;
    }
    const Result<bool> reached = reached_by_default(address);
    if (!reached) {
        failed(address, reached.error());
        return false;
    }
    decisions_.emplace(address, *reached);
    return *reached;
}

} // namespace kestrune::routes
