#pragma once
// Whether what the service trusts at start could have been chosen, or could be changed, by
// someone other than the machine's administrators. The service runs as LocalSystem: it starts
// sing-box.exe from its own directory with the config.json of its data directory, and creates,
// renames and deletes its log files there, so any of them that an ordinary user can change is a
// way to SYSTEM, and a config.json an ordinary user can read gives away the proxy's secrets.
//
// Security is judged from the SDDL text of the entry's owner and DACL (sddl.h).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "win/sddl.h"

namespace kestrune::win {

inline constexpr std::string_view SYSTEM_SID = "S-1-5-18";
inline constexpr std::string_view ADMINISTRATORS_SID = "S-1-5-32-544";
inline constexpr std::string_view TRUSTED_INSTALLER_SID =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Access bits, with their SDK values. On a directory FILE_WRITE_DATA is FILE_ADD_FILE and
// FILE_APPEND_DATA is FILE_ADD_SUBDIRECTORY.
inline constexpr std::uint32_t READ_DATA_RIGHT = 0x00000001;
inline constexpr std::uint32_t WRITE_DATA_RIGHT = 0x00000002;
inline constexpr std::uint32_t APPEND_DATA_RIGHT = 0x00000004;
inline constexpr std::uint32_t DELETE_CHILD_RIGHT = 0x00000040;
inline constexpr std::uint32_t DELETE_RIGHT = 0x00010000;
inline constexpr std::uint32_t WRITE_DAC_RIGHT = 0x00040000;
inline constexpr std::uint32_t WRITE_OWNER_RIGHT = 0x00080000;
inline constexpr std::uint32_t GENERIC_ALL_RIGHT = 0x10000000;
inline constexpr std::uint32_t GENERIC_WRITE_RIGHT = 0x40000000;
inline constexpr std::uint32_t GENERIC_READ_RIGHT = 0x80000000;

// What the service trusts at start, in the order it checks them.
enum class Guarded { data_directory, service_directory, service_executable, config_file };

enum class Verdict { safe, warn, refuse };

// One entry as read from the file system, never through a link standing there.
struct Entry {
    std::string sddl; // owner and DACL
    // A junction, symbolic link or other reparse point: whoever made it can point it elsewhere
    // at any time, so what it points to now proves nothing.
    bool reparse_point = false;
    std::uint32_t link_count = 1;
};

// SYSTEM, Administrators, TrustedInstaller and the account this process runs as (its token's
// user, in the same SDDL spelling; empty when unknown). An unreadable SID is never trusted.
bool is_trusted_sid(std::string_view sid, std::string_view process_user);

// The rights that allow ACEs applying to the entry itself (not inherit-only ones) hand to
// untrusted accounts; every right for a null DACL.
std::uint32_t untrusted_rights(const std::optional<std::vector<Ace>>& dacl,
                               std::string_view process_user);

// A link, an untrusted owner (who may rewrite the DACL at will), a DACL that cannot be read and,
// for config.json, a second hard link are refused outright; then the rights decide.
Verdict judge(Guarded what, const Entry& entry, std::string_view process_user);

// "service directory", "sing-box.exe", "data directory" or "config.json".
std::string_view guarded_name(Guarded what);

// The line for a verdict on `path`: nothing when it is safe.
std::optional<std::string> verdict_line(Guarded what, Verdict verdict, std::string_view path);

} // namespace kestrune::win
