#pragma once
// The ports of WinRM's listeners, judged from what its configuration store keeps for each:
// a key under HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\WSMAN\Listener named
// "<address>+<transport>" ("*+HTTP", "*+HTTPS"), with a Port value when the listener was
// given one. The store is not documented; reading it is in admin_ports.cpp, which says why it
// is read rather than asked of WinRM.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrune::routes {

// The documented defaults of a listener that names no port.
inline constexpr std::uint16_t WINRM_HTTP_PORT = 5985;
inline constexpr std::uint16_t WINRM_HTTPS_PORT = 5986;

// The port of the listener with key `key_name` whose Port value has registry type `type`
// (0, REG_NONE, when there is none) and holds `data`: a REG_DWORD from 1 to 65535, or a REG_SZ
// of decimal digits; anything else gives the transport's default. nullopt for a key whose
// transport is neither HTTP nor HTTPS (any case).
std::optional<std::uint16_t> winrm_listener_port(std::string_view key_name, std::uint32_t type,
                                                 std::span<const std::uint8_t> data);

} // namespace kestrune::routes
