#include "routes/ports/winrm_listener.h"

#include <string>

#include "routes/ports/ascii_case.h"
#include "routes/ports/watched_ports.h"

namespace kestrune::routes {
namespace {

constexpr std::uint32_t REGISTRY_STRING = 1; // REG_SZ

std::optional<std::uint16_t> configured_port(std::uint32_t type,
                                             std::span<const std::uint8_t> data) {
    if (type != REGISTRY_STRING) {
        return port_from_registry_dword(type, data);
    }
    // UTF-16LE up to its terminator; only ASCII digits can name a port.
    std::string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const std::uint16_t unit = static_cast<std::uint16_t>(data[i] | data[i + 1] << 8);
        if (unit == 0) {
            break;
        }
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return port_from_text(text);
}

} // namespace

std::optional<std::uint16_t> winrm_listener_port(std::string_view key_name, std::uint32_t type,
                                                 std::span<const std::uint8_t> data) {
    const std::string_view transport = key_name.substr(key_name.rfind('+') + 1);
    std::uint16_t default_port = 0;
    if (equal_ignoring_case(transport, "HTTP")) {
        default_port = WINRM_HTTP_PORT;
    } else if (equal_ignoring_case(transport, "HTTPS")) {
        default_port = WINRM_HTTPS_PORT;
    } else {
        return std::nullopt;
    }
    return configured_port(type, data).value_or(default_port);
}

} // namespace kestrune::routes
