#include "routes/ports/rdp_port_watch.h"

namespace kestrune::routes {

std::optional<std::string> RdpPortWatch::take(const Reading& reading) {
    taken_ = true;
    if (!reading) {
        if (failure_reported_) {
            return std::nullopt;
        }
        failure_reported_ = true;
        return "RDP port lookup failed: " + reading.error();
    }
    failure_reported_ = false;
    if (*reading == ports_.configured) {
        return std::nullopt;
    }
    ports_.configured = *reading;
    return "RDP route protection watching port " + std::to_string(*reading);
}

std::optional<std::string> RdpPortWatch::refresh(std::uint64_t now,
                                                 const std::function<Reading()>& read) {
    if (taken_ && now < taken_at_ + READ_INTERVAL_SECONDS) {
        return std::nullopt;
    }
    taken_at_ = now;
    return take(read());
}

} // namespace kestrune::routes
