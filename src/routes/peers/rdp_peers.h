#pragma once
// The public and private-use remote addresses of the inbound connections to one of the
// watched `ports` (RDP's, and those of OpenSSH and WinRM) in the system's IPv4 and IPv6 TCP
// tables. Peers are told by the local port alone, never by the owning process: WinRM listens
// through HTTP.sys, whose connections belong to the System process.

#include "routes/peers/tcp_table.h"

namespace kestrune::routes {

Result<PeerSet> detect_rdp_peers(const WatchedPorts& ports);
// IPv6 peers, and the IPv4 peers of dual-stack listeners, as IPv4 addresses.
Result<PeerSet> detect_rdp_peers6(const WatchedPorts& ports);

} // namespace kestrune::routes
