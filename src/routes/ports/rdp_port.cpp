#include "routes/ports/rdp_port.h"

#include "routes/ports/watched_ports.h"

namespace kestrune::routes {

std::uint16_t rdp_port_from_registry(std::uint32_t type, std::span<const std::uint8_t> data) {
    return port_from_registry_dword(type, data).value_or(DEFAULT_RDP_PORT);
}

} // namespace kestrune::routes
