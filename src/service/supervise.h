#pragma once
// The service's supervision loop over the real child, clock, sleeps and log.

#include <functional>
#include <optional>
#include <string>

#include "service/supervision.h"

namespace kestrune::service {

// Precondition: current_child() holds the first child and the running report has been made.
// Returns after a stop request with the child killed, waited for and destroyed and the slot
// empty, or once `refuse_start` (run before every restart) refused one.
SupervisionEnd supervise(std::function<std::optional<std::string>()> refuse_start = nullptr);

} // namespace kestrune::service
