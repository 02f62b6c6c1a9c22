#include "routes/rdp_peers.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

namespace kestrune::routes {

Result<PeerSet> detect_rdp_peers(RdpPorts ports) {
    return read_rdp_peers(
        [](void* buffer, std::uint32_t* size) -> std::uint32_t {
            DWORD table_size = *size;
            const DWORD code = GetExtendedTcpTable(buffer, &table_size, FALSE, AF_INET,
                                                   TCP_TABLE_OWNER_PID_ALL, 0);
            *size = table_size;
            return code;
        },
        ports);
}

} // namespace kestrune::routes
