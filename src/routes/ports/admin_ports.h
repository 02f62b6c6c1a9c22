#pragma once
// Reads the ports of the remote-administration services besides Remote Desktop.

#include <array>
#include <iterator>

#include "routes/ports/admin_port_watch.h"
#include "routes/ports/listener_ports.h"

namespace kestrune::routes {

// sshd's ports from its command line and configuration files, WinRM's from its listeners, and
// the ports sshd's and the other servers' processes listen on (listener_ports.h), each only
// while its service is installed. Keeps what each server's process listened on while it last
// ran; one reading at a time.
class AdminPortReader {
  public:
    AdminPortWatch::Reading read();

  private:
    ListenerMemory sshd_;
    std::array<ListenerMemory, std::size(LISTENING_SERVERS)> servers_;
};

} // namespace kestrune::routes
