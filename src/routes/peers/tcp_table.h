#pragma once
// Inbound peers of the watched ports (RDP, OpenSSH, WinRM) in the TCP tables (MIB_TCPTABLE, as
// GetExtendedTcpTable returns it for AF_INET and TCP_TABLE_BASIC_ALL; MIB_TCP6TABLE, as
// GetTcp6Table returns it): the reading of the tables' bytes and the two-call sizing protocol, all
// free of the OS so they are tested with made-up tables.

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "routes/addresses/ip_address.h"
#include "routes/ports/watched_ports.h"
#include "win/result.h"

namespace kestrune::routes {

// Whether any of a peer's connections has completed its handshake. A scanner that only sends
// SYNs never gets past half_open, and such peers are let go of sooner.
enum class PeerState : std::uint8_t { half_open, established };

// Ascending by address, one entry per peer however many connections it has.
using PeerSet = std::map<IpAddress, PeerState>;

// One more connection of `address`: the peer is established once any of its connections is.
inline void add_sighting(PeerSet& peers, const IpAddress& address, PeerState state) {
    PeerState& seen = peers.try_emplace(address, state).first->second;
    if (state == PeerState::established) {
        seen = state;
    }
}

enum class TcpTableFamily : std::uint8_t { ipv4, ipv6 };

// The distinct public and private-use remote addresses of connections to one of the local
// `ports` in state SYN-RECEIVED or ESTABLISHED, each established when any of its rows is. Rows
// are read only as far as the buffer reaches, whatever the row count in the header claims.
// In the IPv6 table a remote address ::ffff:a.b.c.d (a dual-stack listener's IPv4 client) is
// the IPv4 peer a.b.c.d; scope ids are ignored.
PeerSet rdp_peers_in_table(std::span<const std::uint8_t> table, const WatchedPorts& ports = {},
                           TcpTableFamily family = TcpTableFamily::ipv4);

// One GetExtendedTcpTable or GetTcp6Table call with everything but the buffer and the size fixed:
// returns the call's result code and updates *size.
using TcpTableCall = std::function<std::uint32_t(void* buffer, std::uint32_t* size)>;

// The table's bytes, read as below ("<name> failed: ..."); empty when the table is.
Result<std::vector<std::uint8_t>> read_tcp_table(const TcpTableCall& call, const std::string& name,
                                                 std::uint32_t row_size);

// A sizing call with no buffer, then one call with a buffer of exactly the reported size. When
// the table grew in between (ERROR_INSUFFICIENT_BUFFER), the read is repeated with the size
// that call reported and room to grow (grown_table_buffer), up to three times, before the pass
// fails. Rows are read only as far as the buffer of the last call reaches.
// The IPv6 table's errors name it: "GetTcp6Table failed: ...".
Result<PeerSet> read_rdp_peers(const TcpTableCall& call, const WatchedPorts& ports = {},
                               TcpTableFamily family = TcpTableFamily::ipv4);

// The buffer for a table that has just grown to `reported` bytes: a quarter more and 64 rows.
// A table that grows while it is read (a scan wave adds dozens of rows a second, and under Wine
// one read takes tens of milliseconds) would otherwise fail every retry, and detection with it.
inline std::uint32_t grown_table_buffer(std::uint32_t reported, std::uint32_t row_size = 20) {
    return reported + reported / 4 + 64 * row_size;
}

} // namespace kestrune::routes
