#include "child/exit_status.h"

#include <cstdio>

namespace kestrune::child {

std::string ExitStatus::text() const {
    if ((code & 0x80000000u) == 0) {
        return "exit code: " + std::to_string(code);
    }
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%x", static_cast<unsigned>(code));
    return std::string("exit code: ") + hex;
}

} // namespace kestrune::child
