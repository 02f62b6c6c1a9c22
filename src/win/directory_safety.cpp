#include "win/directory_safety.h"

namespace kestrune::win {
namespace {

// Deleting, re-permissioning or taking over the entry itself.
constexpr std::uint32_t TAKE_OVER_RIGHTS =
    DELETE_RIGHT | WRITE_DAC_RIGHT | WRITE_OWNER_RIGHT | GENERIC_ALL_RIGHT;

struct Rules {
    std::uint32_t refuse;
    std::uint32_t warn;
};

Rules rules_for(Guarded what) {
    switch (what) {
    case Guarded::data_directory:
        // Adding entries is what C:\ProgramData hands down to every user: a warning. Deleting
        // them is not, since it lets a user swap the log or config.json for links.
        return {DELETE_CHILD_RIGHT | TAKE_OVER_RIGHTS,
                WRITE_DATA_RIGHT | APPEND_DATA_RIGHT | GENERIC_WRITE_RIGHT};
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

} // namespace

bool is_trusted_sid(std::string_view sid, std::string_view process_user) {
    return sid == SYSTEM_SID || sid == ADMINISTRATORS_SID || sid == TRUSTED_INSTALLER_SID ||
           (!sid.empty() && sid == process_user);
}

std::uint32_t untrusted_rights(const std::optional<std::vector<Ace>>& dacl,
                               std::string_view process_user) {
    if (!dacl) {
        return ~0u;
    }
    std::uint32_t rights = 0;
    for (const Ace& ace : *dacl) {
        // Deny ACEs only take rights away (and only when they come first: ignoring them is the
        // cautious reading); inherit-only ACEs (CREATOR OWNER on the default program-data
        // tree, for one) shape what children get, not who may change this entry.
        if (ace.kind == AceKind::allow && (ace.flags & INHERIT_ONLY_FLAG) == 0 &&
            !is_trusted_sid(ace.sid, process_user)) {
            rights |= ace.mask;
        }
    }
    return rights;
}

Verdict judge(Guarded what, const Entry& entry, std::string_view process_user) {
    const std::optional<OwnerAndDacl> security = parse_owner_and_dacl(entry.sddl);
    if (entry.reparse_point || !security || !is_trusted_sid(security->owner, process_user) ||
        (what == Guarded::config_file && entry.link_count != 1)) {
        return Verdict::refuse;
    }
    const Rules rules = rules_for(what);
    const std::uint32_t rights = untrusted_rights(security->dacl, process_user);
    if ((rights & rules.refuse) != 0) {
        return Verdict::refuse;
    }
    return (rights & rules.warn) != 0 ? Verdict::warn : Verdict::safe;
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

std::optional<std::string> verdict_line(Guarded what, Verdict verdict, std::string_view path) {
    const std::string name(guarded_name(what));
    switch (verdict) {
    case Verdict::safe:
        return std::nullopt;
    case Verdict::refuse:
        return "refusing to start sing-box: " + name +
               " can be changed by non-administrators: " + std::string(path);
    case Verdict::warn:
        break;
    }
    const char* const what_others_may = what == Guarded::config_file ? "readable" : "writable";
    return "warning: " + name + " is " + what_others_may +
           " by non-administrators: " + std::string(path);
}

} // namespace kestrune::win
