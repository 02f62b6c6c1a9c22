#pragma once
// The ports of the remote-administration services besides Remote Desktop (OpenSSH's sshd,
// WinRM) that the protection worker watches, kept up to date from readings taken at the RDP
// port's rhythm: a service installed, reconfigured or removed while this one runs is followed.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "routes/ports/background_read.h"
#include "routes/ports/rdp_port_watch.h"
#include "win/result.h"

namespace kestrune::routes {

class AdminPortWatch {
  public:
    static constexpr std::uint64_t READ_INTERVAL_SECONDS = RdpPortWatch::READ_INTERVAL_SECONDS;

    // One service's ports as its configuration gives them now (none when it is not
    // installed, or has no listener), or the error text of a read that failed; and those its
    // process listens on (or listened on while it last ran), watched beside them either way.
    struct ServiceReading {
        std::string service;
        Result<std::vector<std::uint16_t>> ports;
        std::vector<std::uint16_t> listening = {};
    };
    using Reading = std::vector<ServiceReading>;

    // Every watched port of every service, ascending, each once.
    const std::vector<std::uint16_t>& ports() const { return ports_; }

    // Takes a reading and returns the lines to log for it: service + " port lookup failed: " +
    // the error once until that service's ports are read again (its configured ports found
    // before stay watched meanwhile: a configuration being edited must not drop the sessions),
    // then, whenever the watched set changes, "RDP route protection also watching: " + each port
    // with its service ("22 (sshd), 5985 (WinRM)"), or "no other port" when none is left.
    std::vector<std::string> take(const Reading& reading);

    // Starts a new reading on `read` when READ_INTERVAL_SECONDS have passed since the last one
    // began, or when there was none yet, and none runs; takes one that finished. `now` is whole
    // seconds since the worker started.
    std::vector<std::string> refresh(std::uint64_t now, BackgroundRead<Reading>& read);

  private:
    std::map<std::string, std::vector<std::uint16_t>> configured_;
    std::map<std::string, std::vector<std::uint16_t>> listening_;
    std::set<std::string> failures_reported_;
    std::vector<std::uint16_t> ports_;
    std::string listed_; // what the last "also watching" line said, empty before any
    bool started_ = false;
    std::uint64_t started_at_ = 0;
};

} // namespace kestrune::routes
