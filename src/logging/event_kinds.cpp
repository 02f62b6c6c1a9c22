#include "logging/event_kinds.h"

#include <algorithm>

namespace kestrune::logging {
namespace {

constexpr EventKind KINDS[] = {
#define KESTRUNE_EVENT_KIND(id, level, match, text)                                                \
    {id, EventLevel::level, EventMatch::match, text},
#include "logging/event_kinds.def"
#undef KESTRUNE_EVENT_KIND
};

constexpr bool ids_unique() {
    for (std::size_t i = 0; i < std::size(KINDS); ++i) {
        for (std::size_t j = i + 1; j < std::size(KINDS); ++j) {
            if (KINDS[i].id == KINDS[j].id) {
                return false;
            }
        }
    }
    return true;
}
static_assert(ids_unique(), "two rows of event_kinds.def share an event ID");

constexpr bool one_catch_all() {
    return std::count_if(std::begin(KINDS), std::end(KINDS), [](const EventKind& kind) {
               return kind.text.empty() && kind.match == EventMatch::prefix;
           }) == 1;
}
static_assert(one_catch_all(), "event_kinds.def needs exactly one row for unlisted lines");

bool matches(const EventKind& kind, std::string_view line) {
    return kind.match == EventMatch::whole ? line == kind.text : line.starts_with(kind.text);
}

} // namespace

std::span<const EventKind> event_kinds() {
    return KINDS;
}

const EventKind& classify_line(std::string_view line) {
    line = event_text(line);
    const EventKind* best = nullptr;
    for (const EventKind& kind : KINDS) {
        if (matches(kind, line) && (best == nullptr || kind.text.size() > best->text.size())) {
            best = &kind;
        }
    }
    return *best; // the catch-all matches every line
}

std::string_view event_text(std::string_view line) {
    if (line.ends_with('\n')) {
        line.remove_suffix(1);
    }
    return line;
}

} // namespace kestrune::logging
