#include "routes/ports/admin_port_watch.h"

#include <algorithm>
#include <utility>

namespace kestrune::routes {

std::vector<std::string> AdminPortWatch::take(const Reading& reading) {
    taken_ = true;
    std::vector<std::string> lines;
    for (const auto& [service, ports] : reading) {
        if (!ports) {
            if (failures_reported_.insert(service).second) {
                lines.push_back(service + " port lookup failed: " + ports.error());
            }
            continue;
        }
        failures_reported_.erase(service);
        by_service_[service] = *ports;
    }
    std::vector<std::pair<std::uint16_t, std::string>> watched;
    for (const auto& [service, ports] : by_service_) {
        for (const std::uint16_t port : ports) {
            watched.emplace_back(port, service);
        }
    }
    std::ranges::sort(watched);
    watched.erase(std::unique(watched.begin(), watched.end()), watched.end());
    ports_.clear();
    std::string listed;
    for (const auto& [port, service] : watched) {
        if (ports_.empty() || ports_.back() != port) {
            ports_.push_back(port);
        }
        listed += (listed.empty() ? "" : ", ") + std::to_string(port) + " (" + service + ")";
    }
    if (listed.empty() && !listed_.empty()) {
        listed = "no other port";
    }
    if (!listed.empty() && listed != listed_) {
        lines.push_back("RDP route protection also watching: " + listed);
    }
    listed_ = listed;
    return lines;
}

std::vector<std::string> AdminPortWatch::refresh(std::uint64_t now,
                                                 const std::function<Reading()>& read) {
    if (taken_ && now < taken_at_ + READ_INTERVAL_SECONDS) {
        return {};
    }
    taken_at_ = now;
    return take(read());
}

} // namespace kestrune::routes
