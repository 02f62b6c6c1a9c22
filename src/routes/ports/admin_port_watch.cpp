#include "routes/ports/admin_port_watch.h"

#include <algorithm>
#include <utility>

namespace kestrune::routes {

std::vector<std::string> AdminPortWatch::take(const Reading& reading) {
    std::vector<std::string> lines;
    for (const auto& [service, ports, listening] : reading) {
        listening_[service] = listening;
        if (!ports) {
            if (failures_reported_.insert(service).second) {
                lines.push_back(service + " port lookup failed: " + ports.error());
            }
            continue;
        }
        failures_reported_.erase(service);
        configured_[service] = *ports;
    }
    std::vector<std::pair<std::uint16_t, std::string>> watched;
    for (const auto* source : {&configured_, &listening_}) {
        for (const auto& [service, ports] : *source) {
            for (const std::uint16_t port : ports) {
                watched.emplace_back(port, service);
            }
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

std::vector<std::string> AdminPortWatch::refresh(std::uint64_t now, BackgroundRead<Reading>& read) {
    if (!read.running() && (!started_ || now >= started_at_ + READ_INTERVAL_SECONDS)) {
        started_ = true;
        started_at_ = now;
        read.start();
    }
    if (std::optional<Reading> reading = read.take()) {
        return take(*reading);
    }
    return {};
}

} // namespace kestrune::routes
