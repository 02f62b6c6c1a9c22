#pragma once
// The RDP port the protection worker watches, kept up to date from readings of the configured
// port: a port moved while the service runs (it takes effect when Remote Desktop Services
// restart) is picked up without restarting this service.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "routes/ports/rdp_port.h"
#include "win/result.h"

namespace kestrune::routes {

class RdpPortWatch {
  public:
    static constexpr std::uint64_t READ_INTERVAL_SECONDS = 60;

    // A reading of the configured port: the port (3389 when none is configured), or the OS
    // error text of a read that failed.
    using Reading = Result<std::uint16_t>;

    RdpPorts ports() const { return ports_; }

    // Takes a reading and returns the line to log for it, if any: "RDP route protection
    // watching port " + the port whenever it changes (3389 is where a new watch starts), and
    // "RDP port lookup failed: " + the error once until a read succeeds again. A failed read
    // keeps the ports watched so far: a passing fault must not drop the sessions on the
    // configured port.
    std::optional<std::string> take(const Reading& reading);

    // Takes a new reading from `read` when READ_INTERVAL_SECONDS have passed since the last
    // one, or when there was none yet; `now` is whole seconds since the worker started, and a
    // reading taken before it started counts as taken at 0.
    std::optional<std::string> refresh(std::uint64_t now, const std::function<Reading()>& read);

  private:
    RdpPorts ports_;
    bool taken_ = false;
    std::uint64_t taken_at_ = 0;
    bool failure_reported_ = false;
};

} // namespace kestrune::routes
