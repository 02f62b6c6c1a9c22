#pragma once
// Which detected RDP peers may get a host route, before the tracker sees them. Global peers
// always may and special-purpose ones never do. A private-use peer may when only the default
// route leads back to it: then the proxy's takeover captures its replies just as a public
// peer's. That is looked up once, when the peer is first seen, and remembered while it stays
// in the TCP table, so a peer first seen before the takeover (physical default route) and one
// first seen after it (the proxy's half-space routes) both count, and its own host route found
// on a reconnect counts as well; a peer on a subnet, VPN or overlay of its own never does.

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "routes/peers/tcp_table.h"
#include "win/result.h"

namespace kestrune::routes {

class PeerScreen {
  public:
    // Far above the tracker's limit, so decisions are not what holds peers back, yet a flood
    // of half-open connections from private addresses cannot make the memory grow, nor the
    // lookups of one pass, beyond it.
    static constexpr std::size_t MAX_DECISIONS = 1024;

    // Whether only the default route leads back to the private peer (or why that is unknown).
    using Lookup = std::function<Result<bool>(IpAddress)>;
    using LookupFailed = std::function<void(IpAddress, const std::string& error)>;

    explicit PeerScreen(std::size_t max_decisions = MAX_DECISIONS)
        : max_decisions_(max_decisions) {}

    // Forgets the decisions about peers no longer detected, then removes from `detected`
    // (ascending) every peer that is not to get a route. A private peer whose lookup fails is
    // removed and reported, and looked at again next time; so is one met while the memory is
    // full, once room is made.
    void screen(PeerSet& detected, const Lookup& reached_by_default, const LookupFailed& failed);

  private:
    bool counts(const IpAddress& address, const Lookup& reached_by_default,
                const LookupFailed& failed);

    std::size_t max_decisions_;
    std::map<IpAddress, bool> decisions_; // private peers in the last successful detection
};

} // namespace kestrune::routes
