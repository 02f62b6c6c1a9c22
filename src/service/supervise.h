#pragma once
// The service's supervision loop over the real child, clock, sleeps and log.

namespace kestrune::service {

// Precondition: current_child() holds the first child and the running report has been made.
// Returns after a stop request with the child killed, waited for and destroyed and the slot
// empty.
void supervise();

} // namespace kestrune::service
