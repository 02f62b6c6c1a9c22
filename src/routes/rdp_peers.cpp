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

} // namespace kestrune::routes
