#pragma once
// Whether an RDP peer's address is globally routable: only such peers get a host route. Peers
// on the local network, on privately addressed VPNs or behind carrier-grade NAT never do.

#include "routes/ipv4_address.h"

namespace kestrune::routes {

bool is_public_ipv4(Ipv4Address address);

} // namespace kestrune::routes
