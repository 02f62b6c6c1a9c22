#include "routes/peers/rdp_peers.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstddef>

namespace kestrune::routes {

Result<PeerSet> detect_rdp_peers(const WatchedPorts& ports) {
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
static_assert(offsetof(MIB_TCP6TABLE, table) == 4);
static_assert(sizeof(MIB_TCP6ROW) == 52);
static_assert(offsetof(MIB_TCP6ROW, State) == 0);
static_assert(offsetof(MIB_TCP6ROW, dwLocalPort) == 24);
static_assert(offsetof(MIB_TCP6ROW, RemoteAddr) == 28);

Result<PeerSet> detect_rdp_peers6(const WatchedPorts& ports) {
    return read_rdp_peers(
        [](void* buffer, std::uint32_t* size) -> std::uint32_t {
            ULONG table_size = *size;
            // GetTcp6Table, not GetExtendedTcpTable: for AF_INET6 the latter has only classes
            // with owning processes, and Wine 8 looks up an owner for every row of both
            // families before it keeps the IPv6 ones: 5.8 s with 3,000 IPv4 rows and no IPv6
            // one (GetTcp6Table 110 ms). Under a scan wave the read then failed
            // (ERROR_OUTOFMEMORY) and took detection down for both families.
            const ULONG code =
                GetTcp6Table(static_cast<PMIB_TCP6TABLE>(buffer), &table_size, FALSE);
            *size = table_size;
            return code;
        },
        ports, TcpTableFamily::ipv6);
}

} // namespace kestrune::routes
