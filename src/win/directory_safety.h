#pragma once
// Whether a directory's owner and DACL let someone other than the machine's administrators
// change what is in it. The service runs as LocalSystem and acts on files in its data
// directory and beside its executable, so a directory that an ordinary user can add to,
// rename in or re-permission is a way to SYSTEM.
//
// SIDs are compared in their string form ("S-1-5-18"), as ConvertSidToStringSidW gives them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::win {

inline constexpr std::string_view SYSTEM_SID = "S-1-5-18";
inline constexpr std::string_view ADMINISTRATORS_SID = "S-1-5-32-544";
inline constexpr std::string_view TRUSTED_INSTALLER_SID =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// ACE header flags and access bits, with their SDK values.
inline constexpr std::uint8_t OBJECT_INHERIT_FLAG = 0x01;    // OBJECT_INHERIT_ACE
inline constexpr std::uint8_t CONTAINER_INHERIT_FLAG = 0x02; // CONTAINER_INHERIT_ACE
inline constexpr std::uint8_t INHERIT_ONLY_FLAG = 0x08;      // INHERIT_ONLY_ACE
inline constexpr std::uint8_t INHERITED_FLAG = 0x10;         // INHERITED_ACE

// Rights that let the holder put, replace or remove entries in a directory, or take it over:
// FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY, FILE_DELETE_CHILD, DELETE, WRITE_DAC, WRITE_OWNER,
// GENERIC_WRITE and GENERIC_ALL. Attribute and extended-attribute writes are not among them.
inline constexpr std::uint32_t DANGEROUS_DIRECTORY_RIGHTS = 0x00000002 | 0x00000004 | 0x00000040 |
                                                            0x00010000 | 0x00040000 | 0x00080000 |
                                                            0x40000000 | 0x10000000;

enum class AceKind { allow, deny, other };

struct Ace {
    AceKind kind = AceKind::other;
    std::uint8_t flags = 0;
    std::uint32_t mask = 0;
    std::string sid;
};

struct DirectorySecurity {
    std::string owner;
    // Empty for a null (or absent) DACL, which grants everyone everything.
    std::optional<std::vector<Ace>> dacl;
    // The entry is a junction, a symbolic link or another reparse point: owner and DACL are
    // then the link's own, and whoever made it can point it elsewhere at any time.
    bool reparse_point = false;
};

bool is_trusted_sid(std::string_view sid);

// True when an allow ACE that applies to the directory itself hands one of the dangerous
// rights to an untrusted SID, or when there is no DACL at all. The owner is not looked at.
bool dacl_lets_others_write(const std::optional<std::vector<Ace>>& dacl);

// The whole verdict: an untrusted owner can rewrite the DACL at will, so it counts too, and a
// link is never trusted, whatever it points to now.
bool writable_by_non_admins(const DirectorySecurity& security);

// The start-up warnings, data directory first; a directory whose verdict is unknown (missing,
// or its security unreadable) or safe gives no line.
std::vector<std::string> compose_directory_warnings(std::optional<bool> data_unsafe,
                                                    std::string_view data_directory,
                                                    std::optional<bool> service_unsafe,
                                                    std::string_view service_directory);

} // namespace kestrune::win
