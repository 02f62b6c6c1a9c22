#pragma once
// Which RDP peer addresses may get a host route, as far as the address alone tells. A global
// (public) peer always may. A peer from a private-use range may only when nothing more specific
// than the default route leads back to it, which the protection loop asks the routing table
// (a cloud machine administered over a site-to-site VPN reaches the office's private range
// through its default route). Special-purpose addresses never get one.

#include "routes/addresses/ip_address.h"

namespace kestrune::routes {

enum class AddressKind {
    special,     // 0/8, loopback, link-local, multicast, reserved, broadcast, documentation, ...
    private_use, // 10/8, 172.16/12, 192.168/16 and the shared 100.64/10; IPv6 fc00::/7
    global,
};

AddressKind address_kind(Ipv4Address address);
// Global: the global unicast space 2000::/3 less its special-purpose blocks, and the NAT64
// prefix 64:ff9b::/96 (a peer behind a NAT64 gateway, reached through the default route).
// Unique local fc00::/7 is private use. Everything else is special: unspecified, loopback,
// IPv4-mapped, link-local, multicast, documentation, and what the IETF has not assigned.
AddressKind address_kind(const Ipv6Address& address);
inline AddressKind address_kind(const IpAddress& address) {
    return address.is_ipv6() ? address_kind(address.ipv6()) : address_kind(address.ipv4());
}

inline bool is_public_ipv4(Ipv4Address address) {
    return address_kind(address) == AddressKind::global;
}
// Public or private-use: the peers worth reading from the TCP table and tracking.
inline bool may_need_host_route(const IpAddress& address) {
    return address_kind(address) != AddressKind::special;
}

} // namespace kestrune::routes
