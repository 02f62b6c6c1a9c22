#include "win/directory_safety.h"

#include <array>

namespace kestrune::win {
namespace {

// Deleting, re-permissioning or taking over the entry itself.
constexpr std::uint32_t TAKE_OVER_RIGHTS =
    DELETE_RIGHT | WRITE_DAC_RIGHT | WRITE_OWNER_RIGHT | GENERIC_ALL_RIGHT;

// IsReparseTagNameSurrogate's bit.
constexpr std::uint32_t NAME_SURROGATE_BIT = 0x20000000;

struct Rules {
    std::uint32_t refuse;
    std::uint32_t warn;
};

Rules rules_for(Guarded what) {
    switch (what) {
    case Guarded::data_directory:
        // Adding entries is refused too: a user could plant config.json while it is missing, or
        // a cache or rule-set file that config.json names, and sing-box runs it as SYSTEM.
        return {WRITE_DATA_RIGHT | APPEND_DATA_RIGHT | DELETE_CHILD_RIGHT | GENERIC_WRITE_RIGHT |
                    TAKE_OVER_RIGHTS,
                0};
    case Guarded::config_file:
        return {WRITE_DATA_RIGHT | APPEND_DATA_RIGHT | GENERIC_WRITE_RIGHT | TAKE_OVER_RIGHTS,
                READ_DATA_RIGHT | GENERIC_READ_RIGHT};
    case Guarded::service_directory:
    case Guarded::service_executable:
        // A file added beside the executables can be a DLL that sing-box or the service loads.
        return {WRITE_DATA_RIGHT | APPEND_DATA_RIGHT | DELETE_CHILD_RIGHT | GENERIC_WRITE_RIGHT |
                    TAKE_OVER_RIGHTS,
                0};
    }
    return {~0u, 0};
}

bool is_directory(Guarded what) {
    return what == Guarded::data_directory || what == Guarded::service_directory;
}

// What a right is called in a reason, on the entry itself and on what a directory's inheritable
// ACEs will give files and folders created in it.
struct RightName {
    std::uint32_t right;
    std::string_view on_directory, on_file, on_new_files, on_new_folders;
};

// In the order a reason names them: the first right found is the one named.
constexpr std::array<RightName, 10> RIGHT_NAMES = {{
    {WRITE_DATA_RIGHT, "create files", "write", "write new files", "create files in new folders"},
    {APPEND_DATA_RIGHT, "create folders", "append", "append to new files",
     "create folders in new folders"},
    {GENERIC_WRITE_RIGHT, "create files", "write", "write new files",
     "create files in new folders"},
    {DELETE_CHILD_RIGHT, "delete files", "delete files", "delete files",
     "delete files in new folders"},
    {DELETE_RIGHT, "delete", "delete", "delete new files", "delete new folders"},
    {WRITE_DAC_RIGHT, "change permissions", "change permissions", "change permissions of new files",
     "change permissions of new folders"},
    {WRITE_OWNER_RIGHT, "take ownership", "take ownership", "take ownership of new files",
     "take ownership of new folders"},
    {GENERIC_ALL_RIGHT, "take full control", "take full control", "take full control of new files",
     "take full control of new folders"},
    {READ_DATA_RIGHT, "list it", "read", "read new files", "list new folders"},
    {GENERIC_READ_RIGHT, "list it", "read", "read new files", "list new folders"},
}};

// Where a right lands: on the entry itself, or on what will be created in a directory.
enum class Target { self, new_files, new_folders };

bool applies(const Ace& ace, Target target) {
    switch (target) {
    case Target::self:
        return (ace.flags & INHERIT_ONLY_FLAG) == 0;
    case Target::new_files:
        return (ace.flags & OBJECT_INHERIT_FLAG) != 0;
    case Target::new_folders:
        return (ace.flags & CONTAINER_INHERIT_FLAG) != 0;
    }
    return true;
}

bool is_creator_placeholder(std::string_view sid) {
    return sid == CREATOR_OWNER_SID || sid == CREATOR_GROUP_SID || sid == "CO" || sid == "CG";
}

std::string_view right_name(std::uint32_t rights, bool directory, Target target) {
    for (const RightName& name : RIGHT_NAMES) {
        if ((rights & name.right) != 0) {
            switch (target) {
            case Target::self:
                return directory ? name.on_directory : name.on_file;
            case Target::new_files:
                return name.on_new_files;
            case Target::new_folders:
                return name.on_new_folders;
            }
        }
    }
    return "change it";
}

// The first allow ACE for an untrusted account that gives, on `target`, a right among
// `rights`; the account and that right.
std::optional<Finding> first_grant(const std::optional<std::vector<Ace>>& dacl,
                                   std::string_view process_user, std::uint32_t rights,
                                   bool directory, Target target) {
    if (!dacl) {
        return Finding{Finding::Kind::right, "WD", right_name(rights, directory, target)};
    }
    for (const Ace& ace : *dacl) {
        // Deny ACEs only take rights away (and only when they come first: ignoring them is the
        // cautious reading).
        if (ace.kind != AceKind::allow || !applies(ace, target) ||
            is_trusted_sid(ace.sid, process_user) || is_creator_placeholder(ace.sid) ||
            (ace.mask & rights) == 0) {
            continue;
        }
        return Finding{Finding::Kind::right, ace.sid,
                       right_name(ace.mask & rights, directory, target)};
    }
    return std::nullopt;
}

} // namespace

bool reparse_tag_is_link(std::optional<std::uint32_t> tag) {
    return !tag || (*tag & NAME_SURROGATE_BIT) != 0;
}

bool is_trusted_sid(std::string_view sid, std::string_view process_user) {
    return sid == SYSTEM_SID || sid == ADMINISTRATORS_SID || sid == TRUSTED_INSTALLER_SID ||
           (!sid.empty() && sid == process_user);
}

Judgement assess(Guarded what, const Entry& entry, std::string_view process_user) {
    using Kind = Finding::Kind;
    if (entry.reparse_point) {
        return {Verdict::refuse, {Kind::link, {}, {}}};
    }
    const std::optional<OwnerAndDacl> security = parse_owner_and_dacl(entry.sddl);
    if (!security) {
        return {Verdict::refuse, {Kind::unreadable, {}, {}}};
    }
    if (!is_trusted_sid(security->owner, process_user)) {
        return {Verdict::refuse, {Kind::owner, security->owner, {}}};
    }
    if (what == Guarded::config_file && entry.link_count != 1) {
        return {Verdict::refuse, {Kind::second_hard_link, {}, {}}};
    }
    const bool directory = is_directory(what);
    const Rules rules = rules_for(what);
    if (auto grant =
            first_grant(security->dacl, process_user, rules.refuse, directory, Target::self)) {
        return {Verdict::refuse, *grant};
    }
    if (directory) {
        // What the directory hands down, judged as what it lands on will be.
        const bool data = what == Guarded::data_directory;
        const Rules files = rules_for(data ? Guarded::config_file : Guarded::service_executable);
        if (auto grant = first_grant(security->dacl, process_user, files.refuse, directory,
                                     Target::new_files)) {
            return {Verdict::refuse, *grant};
        }
        if (auto grant = first_grant(security->dacl, process_user, rules.refuse, directory,
                                     Target::new_folders)) {
            return {Verdict::refuse, *grant};
        }
    }
    if (auto grant =
            first_grant(security->dacl, process_user, rules.warn, directory, Target::self)) {
        return {Verdict::warn, *grant};
    }
    return {};
}

Verdict judge(Guarded what, const Entry& entry, std::string_view process_user) {
    return assess(what, entry, process_user).verdict;
}

std::string reason_text(const Finding& finding,
                        const std::function<std::string(std::string_view sid)>& account_name) {
    // Appended piece by piece: GCC 12's -Wrestrict misreads "(" + std::string&& at -O2.
    std::string text = "(";
    switch (finding.kind) {
    case Finding::Kind::none:
        return {};
    case Finding::Kind::link:
        text += "a link";
        break;
    case Finding::Kind::second_hard_link:
        text += "second hard link";
        break;
    case Finding::Kind::unreadable:
        text += "permissions unreadable";
        break;
    case Finding::Kind::owner:
        text += "owner ";
        text += finding.sid.empty() ? std::string("unknown") : account_name(finding.sid);
        break;
    case Finding::Kind::right:
        text += account_name(finding.sid);
        text += " may ";
        text += finding.right;
        break;
    }
    text += ")";
    return text;
}

std::string_view guarded_name(Guarded what) {
    switch (what) {
    case Guarded::data_directory:
        return "data directory";
    case Guarded::service_directory:
        return "service directory";
    case Guarded::service_executable:
        return "sing-box.exe";
    case Guarded::config_file:
        return "config.json";
    }
    return "?";
}

namespace {

// `text` in double quotes. Appended piece by piece: GCC 12's -Wrestrict misreads "\"" +
// std::string at -O2.
std::string quoted(std::string_view text) {
    std::string result = "\"";
    result += text;
    result += '"';
    return result;
}

} // namespace

std::string fix_command(Guarded what, const Finding& finding, std::string_view path) {
    const std::string entry = quoted(path);
    const std::string administrators = " /setowner *S-1-5-32-544";
    // Each command runs as it stands in PowerShell and in Command Prompt alike: concrete paths,
    // every argument with parentheses quoted (PowerShell parses them), cmd.exe's built-ins
    // through `cmd /c` (PowerShell's rmdir, del, copy and move are its own cmdlets; its
    // Remove-Item on a junction may remove what the junction points to). Commands are joined by
    // " ; ", which PowerShell runs in turn; no separator serves both shells (Windows
    // PowerShell 5.1 rejects "&&"), so Command Prompt takes them one at a time.
    switch (finding.kind) {
    case Finding::Kind::none:
        return {};
    case Finding::Kind::link:
        // Removes the link itself, never what it points to.
        return (is_directory(what) ? "cmd /c rmdir " : "cmd /c del ") + entry;
    case Finding::Kind::second_hard_link: {
        // The copy is a new file; moved over the name, it leaves the other link the old one.
        const std::string copy = quoted(std::string(path) + ".new");
        return "cmd /c copy /b " + entry + " " + copy + FIX_SEPARATOR + "cmd /c move /y " + copy +
               " " + entry + FIX_SEPARATOR + "icacls " + entry + administrators + FIX_SEPARATOR +
               "icacls " + entry + " /reset";
    }
    case Finding::Kind::owner:
    case Finding::Kind::unreadable:
    case Finding::Kind::right:
        break;
    }
    if (!is_directory(what)) {
        // The owner first: /reset hands a CREATOR OWNER entry of the folder to the owner.
        return "icacls " + entry + administrators + FIX_SEPARATOR + "icacls " + entry + " /reset";
    }
    std::string grants =
        " /inheritance:r /grant:r \"*S-1-5-18:(OI)(CI)F\" \"*S-1-5-32-544:(OI)(CI)F\"";
    if (what == Guarded::service_directory) {
        grants += " \"*S-1-5-32-545:(OI)(CI)RX\"";
    }
    return "icacls " + entry + administrators + " /T /C" + FIX_SEPARATOR + "icacls " + entry +
           grants + FIX_SEPARATOR + "icacls " + quoted(std::string(path) + "\\*") + " /reset /T /C";
}

std::optional<std::string> verdict_line(Guarded what, Verdict verdict, std::string_view path,
                                        std::string_view reason, std::string_view fix) {
    std::string line;
    switch (verdict) {
    case Verdict::safe:
        return std::nullopt;
    case Verdict::refuse:
        line = "refusing to start sing-box: ";
        line += guarded_name(what);
        line += " can be changed by non-administrators: ";
        line += path;
        if (!reason.empty()) {
            line += " ";
            line += reason;
        }
        if (!fix.empty()) {
            line += fix.find(FIX_SEPARATOR) == std::string_view::npos
                        ? "; fix from an elevated prompt: "
                        : "; fix from an elevated PowerShell, or in Command Prompt one command "
                          "at a time: ";
            line += fix;
        }
        return line;
    case Verdict::warn:
        break;
    }
    // Only config.json is still warned about: the directories are safe or refused.
    line = "warning: ";
    line += guarded_name(what);
    line += " is readable by non-administrators: ";
    line += path;
    return line;
}

} // namespace kestrune::win
