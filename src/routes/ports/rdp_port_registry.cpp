#include "routes/ports/rdp_port_registry.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <span>

#include "win/os_error.h"

namespace kestrune::routes {

RdpPortWatch::Reading read_rdp_port() {
    // Longer than any DWORD: a value that does not fit is no DWORD either.
    std::array<std::uint8_t, 8> data{};
    DWORD size = data.size();
    DWORD type = REG_NONE;
    // RegGetValueW opens and closes the key itself, so no key handle is held here. Only
    // administrators can change this key.
    const LSTATUS code =
        RegGetValueW(HKEY_LOCAL_MACHINE,
                     L"SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\RDP-Tcp",
                     L"PortNumber", RRF_RT_ANY, &type, data.data(), &size);
    switch (code) {
    case ERROR_SUCCESS:
        return rdp_port_from_registry(type,
                                      std::span(data).first(std::min<DWORD>(size, data.size())));
    case ERROR_MORE_DATA:
        return rdp_port_from_registry(type, data);
    case ERROR_FILE_NOT_FOUND: // the value or the key: Remote Desktop listens on its default
        return DEFAULT_RDP_PORT;
    default:
        return fail(win::os_error_text(static_cast<std::uint32_t>(code)));
    }
}

} // namespace kestrune::routes
