#include "routes/ports/rdp_port.h"

namespace kestrune::routes {
namespace {

constexpr std::uint32_t REG_DWORD_TYPE = 4; // REG_DWORD_LITTLE_ENDIAN

} // namespace

std::uint16_t rdp_port_from_registry(std::uint32_t type, std::span<const std::uint8_t> data) {
    if (type != REG_DWORD_TYPE || data.size() != 4) {
        return DEFAULT_RDP_PORT;
    }
    const std::uint32_t value =
        static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
        static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    if (value == 0 || value > 0xFFFF) {
        return DEFAULT_RDP_PORT;
    }
    return static_cast<std::uint16_t>(value);
}

} // namespace kestrune::routes
