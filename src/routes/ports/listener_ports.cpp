#include "routes/ports/listener_ports.h"

#include <algorithm>
#include <set>

namespace kestrune::routes {

namespace {

// Where the fields are in a row (MIB_TCPROW_OWNER_PID: state, local address, local port, remote
// address, remote port, owning process; MIB_TCP6ROW_OWNER_PID: local address and scope, local
// port, remote address and scope, remote port, state, owning process). Ports are in network
// order in the low 16 bits.
struct RowLayout {
    std::size_t size;
    std::size_t port;
    std::size_t process;
};
constexpr RowLayout IPV4_OWNER_ROW{24, 8, 20};
constexpr RowLayout IPV6_OWNER_ROW{56, 20, 52};
constexpr std::size_t TABLE_HEADER = 4; // dwNumEntries

std::uint32_t dword_at(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

} // namespace

std::vector<ListeningSocket> listening_sockets_in(std::span<const std::uint8_t> table, bool ipv6) {
    const RowLayout& layout = ipv6 ? IPV6_OWNER_ROW : IPV4_OWNER_ROW;
    std::vector<ListeningSocket> rows;
    if (table.size() < TABLE_HEADER) {
        return rows;
    }
    const std::size_t count =
        std::min<std::size_t>(dword_at(table, 0), (table.size() - TABLE_HEADER) / layout.size);
    for (std::size_t i = 0; i < count; ++i) {
        const std::span<const std::uint8_t> row = table.subspan(TABLE_HEADER + i * layout.size);
        const std::uint32_t port = dword_at(row, layout.port);
        rows.push_back({dword_at(row, layout.process),
                        static_cast<std::uint16_t>((port & 0xFF) << 8 | (port >> 8 & 0xFF))});
    }
    return rows;
}

std::vector<std::uint16_t> listening_ports_of(std::uint32_t process_id,
                                              const std::vector<ListeningSocket>& rows,
                                              const std::vector<ProcessEntry>* children) {
    if (process_id == 0) {
        return {};
    }
    std::set<std::uint32_t> owners{process_id};
    if (children != nullptr) {
        for (const ProcessEntry& entry : *children) {
            // A process is never its own child, however its entry reads.
            if (entry.parent_id == process_id && entry.process_id != 0) {
                owners.insert(entry.process_id);
            }
        }
    }
    std::set<std::uint16_t> ports;
    for (const ListeningSocket& row : rows) {
        if (owners.contains(row.process_id)) {
            ports.insert(row.port);
        }
    }
    return {ports.begin(), ports.end()};
}

const std::vector<std::uint16_t>&
ListenerMemory::observe(bool installed, const std::optional<std::vector<std::uint16_t>>& now) {
    if (!installed) {
        ports_.clear();
    } else if (now && !now->empty()) {
        ports_ = *now;
    }
    return ports_;
}

} // namespace kestrune::routes
