#include "routes/peers/tcp_table.h"

#include <algorithm>
#include <string>
#include <vector>

#include "routes/addresses/public_address.h"
#include "win/os_error_text.h"

namespace kestrune::routes {
namespace {

constexpr std::size_t HEADER_SIZE = 4;

// Both rows begin with the state.
struct RowLayout {
    std::size_t size, local_port, remote_address;
};
// MIB_TCPROW: state, local address, local port, remote address, remote port.
constexpr RowLayout IPV4_ROW{20, 8, 12};
// MIB_TCP6ROW: state, local address (16 bytes), local scope id, local port, remote address
// (16 bytes), remote scope id, remote port. Every field is 4-byte aligned, so neither the table
// nor the rows hold padding.
constexpr RowLayout IPV6_ROW{52, 24, 28};

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

PeerSet rdp_peers_in_table(std::span<const std::uint8_t> table, const WatchedPorts& ports,
                           TcpTableFamily family) {
    const RowLayout& layout = family == TcpTableFamily::ipv4 ? IPV4_ROW : IPV6_ROW;
    PeerSet peers;
    if (table.size() < HEADER_SIZE) {
        return peers;
    }
    const std::size_t claimed = read_le32(table.data());
    const std::size_t rows = std::min(claimed, (table.size() - HEADER_SIZE) / layout.size);
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint8_t* row = table.data() + HEADER_SIZE + i * layout.size;
        const std::uint32_t state = read_le32(row);
        // The port is in network order in the field's first two bytes; the rest is junk.
        const auto local_port =
            static_cast<std::uint16_t>(row[layout.local_port] << 8 | row[layout.local_port + 1]);
        const std::uint8_t* remote_bytes = row + layout.remote_address;
        IpAddress remote;
        if (family == TcpTableFamily::ipv4) {
            remote =
                Ipv4Address(remote_bytes[0], remote_bytes[1], remote_bytes[2], remote_bytes[3]);
        } else {
            Ipv6Address::Bytes bytes;
            std::copy(remote_bytes, remote_bytes + bytes.size(), bytes.begin());
            const Ipv6Address address(bytes);
            remote = address.is_ipv4_mapped() ? IpAddress(address.mapped_ipv4()) : address;
        }
        // SYN-RECEIVED or ESTABLISHED: the two differ only in bit 0.
        if (ports.contains(local_port) && (state & ~1u) == MIB_TCP_STATE_SYN_RCVD &&
            may_need_host_route(remote)) {
            add_sighting(peers, remote,
                         state == MIB_TCP_STATE_ESTAB ? PeerState::established
                                                      : PeerState::half_open);
        }
    }
    return peers;
}

Result<std::vector<std::uint8_t>> read_tcp_table(const TcpTableCall& call, const std::string& name,
                                                 std::uint32_t row_size) {
    std::uint32_t size = 0;
    const std::uint32_t sizing = call(nullptr, &size);
    if (sizing != NO_ERROR_CODE && sizing != ERROR_INSUFFICIENT_BUFFER_CODE) {
        return fail(name + " sizing failed: " + win::code_text(sizing));
    }
    std::vector<std::uint8_t> buffer;
    for (int attempt = 0;; ++attempt) {
        if (size < HEADER_SIZE) {
            return std::vector<std::uint8_t>();
        }
        // operator new aligns for any fundamental type, so the DWORD fields are aligned too.
        buffer.assign(size, 0);
        const std::uint32_t code = call(buffer.data(), &size);
        if (code == NO_ERROR_CODE) {
            return buffer;
        }
        // On a busy host the table can grow between two calls; the call has then stored the
        // size it needs now.
        if (code != ERROR_INSUFFICIENT_BUFFER_CODE || attempt == TABLE_GREW_RETRIES) {
            return fail(name + " failed: " + win::code_text(code));
        }
        size = grown_table_buffer(size, row_size);
    }
}

Result<PeerSet> read_rdp_peers(const TcpTableCall& call, const WatchedPorts& ports,
                               TcpTableFamily family) {
    const std::string name =
        family == TcpTableFamily::ipv4 ? "GetExtendedTcpTable" : "GetTcp6Table";
    const auto row_size =
        static_cast<std::uint32_t>(family == TcpTableFamily::ipv4 ? IPV4_ROW.size : IPV6_ROW.size);
    const Result<std::vector<std::uint8_t>> table = read_tcp_table(call, name, row_size);
    if (!table) {
        return fail(table.error());
    }
    return table->empty() ? PeerSet{} : rdp_peers_in_table(*table, ports, family);
}

} // namespace kestrune::routes
