#pragma once
// The public and private-use remote addresses of the inbound RDP connections (to one of
// `ports`) in the system's IPv4 and IPv6 TCP tables.

#include "routes/peers/tcp_table.h"

namespace kestrune::routes {

Result<PeerSet> detect_rdp_peers(const WatchedPorts& ports);
// IPv6 peers, and the IPv4 peers of dual-stack listeners, as IPv4 addresses.
Result<PeerSet> detect_rdp_peers6(const WatchedPorts& ports);

} // namespace kestrune::routes
