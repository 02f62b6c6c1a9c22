#include "logging/log_sink.h"

#include "logging/shared_log.h"

namespace kestrune::logging {

void log_line(std::string_view text) noexcept {
    try {
        Result<std::shared_ptr<SharedLog>> log = shared_log();
        if (!log) {
            return;
        }
        std::lock_guard guard((*log)->mutex);
        (void)(*log)->log.write_line(text);
    } catch (...) {
        // Out of memory or a failed lock: the line is lost, the caller carries on.
    }
}

} // namespace kestrune::logging
