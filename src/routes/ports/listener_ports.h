#pragma once
// The ports a remote-administration server really listens on, from the listening rows of the
// TCP tables and the process that owns each. A server's configuration can say one thing and
// the server do another (a version that reads it otherwise, an option it ignores), so the rows
// of its own process count too. Portable: admin_ports.cpp reads the service manager, the
// tables and the process list.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kestrune::routes {

// A listening row of either family: its owning process and local port.
struct ListeningSocket {
    std::uint32_t process_id = 0;
    std::uint16_t port = 0;
};

struct ProcessEntry {
    std::uint32_t process_id = 0;
    std::uint32_t parent_id = 0;
};

// A server whose service's process listens, found by its rows alone, or, for sshd, beside its
// configuration. `with_children`: the rows of processes its service process started count as
// well, for servers whose documentation does not say which of them listens.
struct AdminServer {
    std::string_view label;   // as the "also watching" line names its ports
    std::string_view service; // the Windows service's name
    bool with_children = false;
};

inline constexpr AdminServer SSHD_SERVER{"sshd", "sshd", false};
// The servers watched by their listening rows alone. Checked against their vendors'
// documentation; easy to extend with a row.
inline constexpr AdminServer LISTENING_SERVERS[] = {
    {"Bitvise SSH Server", "BvSshServer", true},
};

// The rows of a TCP table with owning processes (MIB_TCPTABLE_OWNER_PID, or
// MIB_TCP6TABLE_OWNER_PID with `ipv6`), as far as the bytes reach.
std::vector<ListeningSocket> listening_sockets_in(std::span<const std::uint8_t> table, bool ipv6);

// The local ports of the rows owned by `process_id` (and, with `children`, by the processes
// whose parent it is), ascending, each once. Process 0 owns nothing: it is what a table gives
// when it cannot tell (Wine gives it for every row).
std::vector<std::uint16_t> listening_ports_of(std::uint32_t process_id,
                                              const std::vector<ListeningSocket>& rows,
                                              const std::vector<ProcessEntry>* children = nullptr);

// One server's listening ports across readings: while it runs, those its process has now;
// while it is stopped (or its rows cannot be read, or it has none yet, as while it starts),
// those found while it last ran; nothing once it is uninstalled.
class ListenerMemory {
  public:
    // `now`: the ports of its running process, none when it does not run or the rows could not
    // be read.
    const std::vector<std::uint16_t>& observe(bool installed,
                                              const std::optional<std::vector<std::uint16_t>>& now);

  private:
    std::vector<std::uint16_t> ports_;
};

} // namespace kestrune::routes
