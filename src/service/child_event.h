#pragma once
// Why the supervised child is no longer running, as found by one poll of the slot, and the
// log message for it.

#include <string>
#include <utility>
#include <variant>

#include "win/result.h"

namespace kestrune::service {

// The slot held no child (the normal flow never leaves it empty at a poll).
struct ChildMissing {};

// try_wait failed; the child was destroyed without being killed.
struct ChildWaitFailed {
    OsError error;
};

template <class Status> struct ChildExited { Status status; };

template <class Status>
using ChildEvent = std::variant<ChildMissing, ChildWaitFailed, ChildExited<Status>>;

// `os_error_text` is injected so the decision stays portable: the Windows build passes
// win::os_error_text, tests pass their own formatting.
template <class Status, class OsErrorText>
std::string event_message(const ChildEvent<Status>& event, OsErrorText&& os_error_text) {
    if (std::holds_alternative<ChildMissing>(event)) {
        return "sing-box child handle is missing";
    }
    if (const auto* failed = std::get_if<ChildWaitFailed>(&event)) {
        return "sing-box wait failed: " + std::forward<OsErrorText>(os_error_text)(failed->error);
    }
    return "sing-box exited unexpectedly: " + std::get<ChildExited<Status>>(event).status.text();
}

} // namespace kestrune::service
