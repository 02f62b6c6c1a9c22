#pragma once
// The one way the service records an event.

#include <string_view>

namespace kestrune::logging {

// Appends `text` to the shared log as one line: the bytes unchanged, plus a line feed when
// they do not end in one; then reports it to the Windows Event Log (event_log.h). Never fails
// towards the caller (a line that cannot be written or reported is lost there) and never writes
// to the console. Must not be called while holding the log's mutex. The child's output goes
// straight to the file, never through here.
void log_line(std::string_view text) noexcept;

} // namespace kestrune::logging
