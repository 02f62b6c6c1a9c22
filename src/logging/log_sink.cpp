#include "logging/log_sink.h"

#include "logging/event_log.h"
#include "logging/shared_log.h"

namespace kestrune::logging {

void log_line(std::string_view text) noexcept {
    try {
        Result<std::shared_ptr<SharedLog>> log = shared_log();
        if (log) {
            std::lock_guard guard((*log)->mutex);
            (void)(*log)->log.write_line(text);
        }
    } catch (...) {
        // Out of memory or a failed lock: the line is lost, the caller carries on.
    }
    // Outside the log's lock, so the child's output never waits for the Event Log; whatever
    // became of the file.
    report_event(text);
}

} // namespace kestrune::logging
