#include "logging/event_log.h"

#include <windows.h>

#include <string>

#include "logging/event_kinds.h"
#include "win/wide.h"

namespace kestrune::logging {
namespace {

// ReportEventW refuses an insertion string longer than this many characters.
constexpr std::size_t MAX_INSERTION_CHARS = 31839;

// Kept for the life of the process, a failure included: a machine whose Event Log cannot be
// reached costs one call, not one per line.
HANDLE event_source() {
    static const HANDLE source = RegisterEventSourceW(nullptr, EVENT_SOURCE_NAME);
    return source;
}

WORD event_type(EventLevel level) {
    switch (level) {
    case EventLevel::error:
        return EVENTLOG_ERROR_TYPE;
    case EventLevel::warning:
        return EVENTLOG_WARNING_TYPE;
    case EventLevel::information:
        break;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

void cut_to_insertion_limit(std::wstring& text) {
    if (text.size() <= MAX_INSERTION_CHARS) {
        return;
    }
    std::size_t size = MAX_INSERTION_CHARS;
    if (IS_HIGH_SURROGATE(text[size - 1])) {
        --size; // never half a character
    }
    text.resize(size);
}

} // namespace

void report_event(std::string_view line) noexcept {
    try {
        const HANDLE source = event_source();
        if (source == nullptr) {
            return;
        }
        const EventKind& kind = classify_line(line);
        std::wstring text = win::widen(event_text(line));
        cut_to_insertion_limit(text);
        const wchar_t* strings[] = {text.c_str()};
        (void)ReportEventW(source, event_type(kind.level), 0, kind.id, nullptr, 1, 0, strings,
                           nullptr);
    } catch (...) {
        // Out of memory: the event is lost, the file has the line.
    }
}

} // namespace kestrune::logging
