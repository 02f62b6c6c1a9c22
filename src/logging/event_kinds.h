#pragma once
// The kinds of line the service logs, each with the event it is reported as in the Windows
// Event Log: a stable ID and a level. The rows are in event_kinds.def.

#include <cstdint>
#include <span>
#include <string_view>

namespace kestrune::logging {

enum class EventLevel { error, warning, information };

// Whether a row's text is the whole line or the fixed start of it.
enum class EventMatch { whole, prefix };

struct EventKind {
    std::uint16_t id;
    EventLevel level;
    EventMatch match;
    std::string_view text;
};

// Every row, in the table's order.
std::span<const EventKind> event_kinds();

// The kind of one line of the service: the row with the longest matching text; a line no
// other row matches gets the row with the empty text.
const EventKind& classify_line(std::string_view line);

// What the event carries: the line without the line feed that ends it, if one does (log_line
// accepts lines with or without one).
std::string_view event_text(std::string_view line);

} // namespace kestrune::logging
