#pragma once
// Every local port whose inbound clients are protected: Remote Desktop's, and those of the
// other remote-administration services found on the machine (OpenSSH, WinRM). Their peers
// share one detection, one tracker and one set of routes.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "routes/ports/rdp_port.h"

namespace kestrune::routes {

struct WatchedPorts {
    WatchedPorts(RdpPorts rdp = {}, std::vector<std::uint16_t> others = {})
        : rdp(rdp), others(std::move(others)) {}

    RdpPorts rdp;
    std::vector<std::uint16_t> others; // ascending

    bool contains(std::uint16_t port) const {
        return rdp.contains(port) || std::binary_search(others.begin(), others.end(), port);
    }
};

// A port number as configuration text gives it: decimal digits only, 1 to 65535.
inline std::optional<std::uint16_t> port_from_text(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    std::uint32_t port = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

// The port a registry value names: a REG_DWORD (type 4, little-endian) from 1 to 65535.
inline std::optional<std::uint16_t> port_from_registry_dword(std::uint32_t type,
                                                             std::span<const std::uint8_t> data) {
    constexpr std::uint32_t REG_DWORD_TYPE = 4;
    if (type != REG_DWORD_TYPE || data.size() != 4) {
        return std::nullopt;
    }
    const std::uint32_t value =
        static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
        static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    if (value == 0 || value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

} // namespace kestrune::routes
