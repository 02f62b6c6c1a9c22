#include "win/directory_safety.h"

namespace kestrune::win {

bool is_trusted_sid(std::string_view sid) {
    return sid == SYSTEM_SID || sid == ADMINISTRATORS_SID || sid == TRUSTED_INSTALLER_SID;
}

bool dacl_lets_others_write(const std::optional<std::vector<Ace>>& dacl) {
    if (!dacl) {
        return true;
    }
    for (const Ace& ace : *dacl) {
        // Deny ACEs only take rights away; inherit-only ACEs (CREATOR OWNER on the default
        // program-data tree, for one) shape what children get, not who may change this
        // directory.
        if (ace.kind != AceKind::allow || (ace.flags & INHERIT_ONLY_FLAG) != 0) {
            continue;
        }
        if ((ace.mask & DANGEROUS_DIRECTORY_RIGHTS) != 0 && !is_trusted_sid(ace.sid)) {
            return true;
        }
    }
    return false;
}

bool writable_by_non_admins(const DirectorySecurity& security) {
    return security.reparse_point || !is_trusted_sid(security.owner) ||
           dacl_lets_others_write(security.dacl);
}

std::vector<std::string> compose_directory_warnings(std::optional<bool> data_unsafe,
                                                    std::string_view data_directory,
                                                    std::optional<bool> service_unsafe,
                                                    std::string_view service_directory) {
    std::vector<std::string> lines;
    if (data_unsafe.value_or(false)) {
        lines.push_back("warning: data directory is writable by non-administrators: " +
                        std::string(data_directory));
    }
    if (service_unsafe.value_or(false)) {
        lines.push_back("warning: service directory is writable by non-administrators: " +
                        std::string(service_directory));
    }
    return lines;
}

} // namespace kestrune::win
