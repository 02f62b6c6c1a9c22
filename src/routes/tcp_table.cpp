#include "routes/tcp_table.h"

#include <algorithm>
#include <vector>

#include "routes/public_address.h"
#include "win/os_error_text.h"

namespace kestrune::routes {
namespace {

constexpr std::size_t HEADER_SIZE = 4;
// MIB_TCPROW: state, local address, local port, remote address, remote port.
constexpr std::size_t ROW_SIZE = 20;
constexpr std::size_t STATE_OFFSET = 0;
constexpr std::size_t LOCAL_PORT_OFFSET = 8;
constexpr std::size_t REMOTE_ADDR_OFFSET = 12;

constexpr std::uint32_t MIB_TCP_STATE_SYN_RCVD = 4;
constexpr std::uint32_t MIB_TCP_STATE_ESTAB = 5;

constexpr std::uint32_t NO_ERROR_CODE = 0;
constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER_CODE = 122;
// Fresh reads, with the size the failed one reported, of a table that outgrew its buffer.
constexpr int TABLE_GREW_RETRIES = 3;

// The table's counters and states are host-order DWORDs, and Windows is little-endian.
std::uint32_t read_le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

} // namespace

PeerSet rdp_peers_in_table(std::span<const std::uint8_t> table, RdpPorts ports) {
    PeerSet peers;
    if (table.size() < HEADER_SIZE) {
        return peers;
    }
    const std::size_t claimed = read_le32(table.data());
    const std::size_t rows = std::min(claimed, (table.size() - HEADER_SIZE) / ROW_SIZE);
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint8_t* row = table.data() + HEADER_SIZE + i * ROW_SIZE;
        const std::uint32_t state = read_le32(row + STATE_OFFSET);
        // The port is in network order in the field's first two bytes; the rest is junk.
        const auto local_port =
            static_cast<std::uint16_t>(row[LOCAL_PORT_OFFSET] << 8 | row[LOCAL_PORT_OFFSET + 1]);
        const auto remote = Ipv4Address(row[REMOTE_ADDR_OFFSET], row[REMOTE_ADDR_OFFSET + 1],
                                        row[REMOTE_ADDR_OFFSET + 2], row[REMOTE_ADDR_OFFSET + 3]);
        // SYN-RECEIVED or ESTABLISHED: the two differ only in bit 0.
        if (ports.contains(local_port) && (state & ~1u) == MIB_TCP_STATE_SYN_RCVD &&
            may_need_host_route(remote)) {
            PeerState& seen = peers.try_emplace(remote, PeerState::half_open).first->second;
            if (state == MIB_TCP_STATE_ESTAB) {
                seen = PeerState::established;
            }
        }
    }
    return peers;
}

Result<PeerSet> read_rdp_peers(const TcpTableCall& call, RdpPorts ports) {
    std::uint32_t size = 0;
    const std::uint32_t sizing = call(nullptr, &size);
    if (sizing != NO_ERROR_CODE && sizing != ERROR_INSUFFICIENT_BUFFER_CODE) {
        return fail("GetExtendedTcpTable sizing failed: " + win::code_text(sizing));
    }
    std::vector<std::uint8_t> buffer;
    for (int attempt = 0;; ++attempt) {
        if (size < HEADER_SIZE) {
            return PeerSet{};
        }
        // operator new aligns for any fundamental type, so the DWORD fields are aligned too.
        buffer.assign(size, 0);
        const std::uint32_t code = call(buffer.data(), &size);
        if (code == NO_ERROR_CODE) {
            return rdp_peers_in_table(buffer, ports);
        }
        // On a busy host the table can grow between two calls; the call has then stored the
        // size it needs now.
        if (code != ERROR_INSUFFICIENT_BUFFER_CODE || attempt == TABLE_GREW_RETRIES) {
            return fail("GetExtendedTcpTable failed: " + win::code_text(code));
        }
        size = grown_table_buffer(size);
    }
}

} // namespace kestrune::routes
