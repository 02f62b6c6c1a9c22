#include "routes/ports/winrm_listener.h"

#include <algorithm>
#include <string>

#include "routes/ports/watched_ports.h"

namespace kestrune::routes {
namespace {

constexpr std::uint32_t REGISTRY_STRING = 1; // REG_SZ
constexpr std::uint32_t REGISTRY_DWORD = 4;  // REG_DWORD, little-endian

std::optional<std::uint16_t> configured_port(std::uint32_t type,
                                             std::span<const std::uint8_t> data) {
    if (type == REGISTRY_DWORD && data.size() == 4) {
        const std::uint32_t value =
            data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
        return value >= 1 && value <= 65535 ? std::optional(static_cast<std::uint16_t>(value))
                                            : std::nullopt;
    }
    if (type != REGISTRY_STRING) {
        return std::nullopt;
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

bool same_transport(std::string_view a, std::string_view b) {
    return std::ranges::equal(
        a, b, [](char x, char y) { return (x >= 'a' && x <= 'z' ? x - 'a' + 'A' : x) == y; });
}

} // namespace

std::optional<std::uint16_t> winrm_listener_port(std::string_view key_name, std::uint32_t type,
                                                 std::span<const std::uint8_t> data) {
    const std::string_view transport = key_name.substr(key_name.rfind('+') + 1);
    std::uint16_t default_port = 0;
    if (same_transport(transport, "HTTP")) {
        default_port = WINRM_HTTP_PORT;
    } else if (same_transport(transport, "HTTPS")) {
        default_port = WINRM_HTTPS_PORT;
    } else {
        return std::nullopt;
    }
    return configured_port(type, data).value_or(default_port);
}

} // namespace kestrune::routes
