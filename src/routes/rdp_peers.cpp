#include "routes/rdp_peers.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstddef>

namespace kestrune::routes {

Result<PeerSet> detect_rdp_peers(RdpPorts ports) {
    return read_rdp_peers(
        [](void* buffer, std::uint32_t* size) -> std::uint32_t {
            DWORD table_size = *size;
            // Without owning process ids, which nothing here needs: under a SYN flood the table
            // holds thousands of rows, and Wine's pid lookup takes 4.4 s for 3,000 of them
            // (the basic table 42 ms), which would stall detection for the whole flood.
            const DWORD code =
                GetExtendedTcpTable(buffer, &table_size, FALSE, AF_INET, TCP_TABLE_BASIC_ALL, 0);
            *size = table_size;
            return code;
        },
        ports);
}

// The layout rdp_peers_in_table reads.
static_assert(offsetof(MIB_TCP6TABLE_OWNER_PID, table) == 4);
static_assert(sizeof(MIB_TCP6ROW_OWNER_PID) == 56);
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwLocalPort) == 20);
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, ucRemoteAddr) == 24);
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwState) == 48);

Result<PeerSet> detect_rdp_peers6(RdpPorts ports) {
    return read_rdp_peers(
        [](void* buffer, std::uint32_t* size) -> std::uint32_t {
            DWORD table_size = *size;
            // The IPv6 table has no basic class; it is small unless IPv6 itself is flooded.
            const DWORD code = GetExtendedTcpTable(buffer, &table_size, FALSE, AF_INET6,
                                                   TCP_TABLE_OWNER_PID_ALL, 0);
            *size = table_size;
            return code;
        },
        ports, TcpTableFamily::ipv6);
}

} // namespace kestrune::routes
