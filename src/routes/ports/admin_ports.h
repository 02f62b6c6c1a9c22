#pragma once
// Reads the ports of the remote-administration services besides Remote Desktop.

#include "routes/ports/admin_port_watch.h"

namespace kestrune::routes {

// sshd's ports from its command line and configuration files, and WinRM's from its listeners,
// each only while its service is installed.
AdminPortWatch::Reading read_admin_ports();

} // namespace kestrune::routes
