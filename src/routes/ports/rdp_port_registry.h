#pragma once
// Reads the port Remote Desktop Services are configured to listen on.

#include "routes/ports/rdp_port_watch.h"

namespace kestrune::routes {

// The PortNumber value of the RDP-Tcp WinStation, under HKLM
// "SYSTEM\CurrentControlSet\Control\Terminal Server\WinStations\RDP-Tcp", judged by
// rdp_port_from_registry: 3389 when the value or its key is missing or the value names no
// port. Fails with the OS error text when the value cannot be read for another reason.
RdpPortWatch::Reading read_rdp_port();

} // namespace kestrune::routes
