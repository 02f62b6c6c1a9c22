#pragma once
// Whether what the service trusts at start could have been chosen, or could be changed, by
// someone other than the machine's administrators. The service runs as LocalSystem: it starts
// sing-box.exe from its own directory with the config.json of its data directory, and creates,
// renames and deletes its log files there, so any of them that an ordinary user can change is a
// way to SYSTEM, and a config.json an ordinary user can read gives away the proxy's secrets.
//
// Security is judged from the SDDL text of the entry's owner and DACL (sddl.h).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "win/sddl.h"

namespace kestrune::win {

inline constexpr std::string_view SYSTEM_SID = "S-1-5-18";
inline constexpr std::string_view ADMINISTRATORS_SID = "S-1-5-32-544";
inline constexpr std::string_view TRUSTED_INSTALLER_SID =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// Placeholders in inheritable ACEs: whoever creates the entry gets these rights, and only the
// service or an administrator creates anything in a directory that passes.
inline constexpr std::string_view CREATOR_OWNER_SID = "S-1-3-0";
inline constexpr std::string_view CREATOR_GROUP_SID = "S-1-3-1";

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
    // A junction, symbolic link or other name surrogate: whoever made it can point it elsewhere
    // at any time, so what it points to now proves nothing.
    bool reparse_point = false;
    std::uint32_t link_count = 1;
};

// Whether a reparse point with this tag is a link. Only name surrogates (symbolic links,
// junctions) stand for another entry; WOF-compressed executables (compact /exe), deduplicated
// files and cloud placeholders carry tags of their own and are the file itself. A tag that
// cannot be read counts as a link.
bool reparse_tag_is_link(std::optional<std::uint32_t> tag);

// Why an entry is refused (or warned about).
struct Finding {
    enum class Kind { none, link, second_hard_link, owner, unreadable, right };
    Kind kind = Kind::none;
    std::string sid;        // the owner, or the account that holds `right` (canonical_sid form)
    std::string_view right; // "create files", "write", "delete new files", ...
};

struct Judgement {
    Verdict verdict = Verdict::safe;
    Finding why;
};

// SYSTEM, Administrators, TrustedInstaller and the account this process runs as (its token's
// user, in the same SDDL spelling; empty when unknown). An unreadable SID is never trusted.
bool is_trusted_sid(std::string_view sid, std::string_view process_user);

// A link, an untrusted owner (who may rewrite the DACL at will), a DACL that cannot be read and,
// for config.json, a second hard link are refused outright; then the rights decide: those on the
// entry itself and, for the two directories, those their inheritable ACEs will hand out on the
// files and folders created in them later, judged as they will be there (config.json and
// sing-box.exe for files, the directory's own rules for folders).
Judgement assess(Guarded what, const Entry& entry, std::string_view process_user);
Verdict judge(Guarded what, const Entry& entry, std::string_view process_user);

// "(a link)", "(second hard link)", "(owner NAME)", "(NAME may RIGHT)" or "(permissions
// unreadable)"; empty for Kind::none. `account_name` turns a SID into the name shown.
std::string reason_text(const Finding& finding,
                        const std::function<std::string(std::string_view sid)>& account_name);

// "service directory", "sing-box.exe", "data directory" or "config.json".
std::string_view guarded_name(Guarded what);

// Between the commands of a fix: PowerShell runs the whole line, Command Prompt one command at a
// time.
inline constexpr char FIX_SEPARATOR[] = " ; ";

// The command line, for an elevated PowerShell or Command Prompt, that fixes what `finding`
// found on `path`: Administrators as owner, then the permissions the package gives (a folder:
// SYSTEM and Administrators full control, for the service directory Users read and execute,
// inherited by everything inside and nothing from above; a file: what its folder hands down),
// or the link removed, or config.json written anew; several commands joined by FIX_SEPARATOR.
// Empty for Kind::none.
std::string fix_command(Guarded what, const Finding& finding, std::string_view path);

// The line for a verdict on `path`: nothing when it is safe. A refusal ends with " " and
// `reason` when one is given, then "; fix from an elevated prompt: " and `fix` when one is (for
// a fix of several commands "; fix from an elevated PowerShell, or in Command Prompt one
// command at a time: ").
std::optional<std::string> verdict_line(Guarded what, Verdict verdict, std::string_view path,
                                        std::string_view reason = {}, std::string_view fix = {});

} // namespace kestrune::win
