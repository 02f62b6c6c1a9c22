#pragma once
// The public and private-use remote addresses of the inbound RDP connections (to one of
// `ports`) in the system's IPv4 TCP table.

#include "routes/tcp_table.h"

namespace kestrune::routes {

Result<PeerSet> detect_rdp_peers(RdpPorts ports);

} // namespace kestrune::routes
