#pragma once
// Which local ports carry Remote Desktop: 3389, and the port Remote Desktop Services are
// configured to listen on (the PortNumber value of the RDP-Tcp WinStation), which many
// internet-facing machines move off 3389 to shed scanners. What the registry holds is judged
// here; reading it is in rdp_port_registry.cpp.

#include <cstdint>
#include <span>

namespace kestrune::routes {

inline constexpr std::uint16_t DEFAULT_RDP_PORT = 3389;

// The local ports whose inbound connections are RDP sessions: 3389 always, and the configured
// port when that is another one.
struct RdpPorts {
    std::uint16_t configured = DEFAULT_RDP_PORT;
    bool contains(std::uint16_t port) const {
        return port == DEFAULT_RDP_PORT || port == configured;
    }
};

// The port named by a PortNumber value of registry type `type` holding `data`: a REG_DWORD
// from 1 to 65535. Anything else names no port and gives 3389, as a missing value does.
std::uint16_t rdp_port_from_registry(std::uint32_t type, std::span<const std::uint8_t> data);

} // namespace kestrune::routes
