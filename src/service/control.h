#pragma once
// What the service control handler decides, without the Win32 types: a stop control turns into
// a stop-pending report, a stop request and an immediate kill of the running child, in that
// order; every other control is answered with success and nothing else.

#include <cstdint>
#include <utility>

#include "service/child_slot.h"
#include "service/stop_signal.h"

namespace kestrune::service {

inline constexpr std::uint32_t CONTROL_STOP = 1;        // SERVICE_CONTROL_STOP
inline constexpr std::uint32_t CONTROL_PAUSE = 2;       // SERVICE_CONTROL_PAUSE
inline constexpr std::uint32_t CONTROL_INTERROGATE = 4; // SERVICE_CONTROL_INTERROGATE
inline constexpr std::uint32_t CONTROL_HANDLED = 0;     // NO_ERROR

// The report comes first: once the request is visible the service thread may finish and report
// the service stopped at any moment, and a stop-pending report after that one would be
// dropped. The request is made visible before the child dies, so a loop that sees the exit
// also sees the stop and does not take the exit for a crash. The child stays in the slot: the
// loop waits for it and destroys it. A failed kill is dropped; the loop's shutdown kills again.
// The slot exists only once the first child is stored; before that (while the start waits
// for the physical route) the stop is only reported and requested, without blocking.
template <class Child, class ReportStopPending>
std::uint32_t handle_control(std::uint32_t control, StopSignal& stop,
                             ReportStopPending&& report_stop_pending,
                             const LazyChildSlot<Child>& current_child) {
    if (control != CONTROL_STOP) {
        return CONTROL_HANDLED; // interrogate included: nothing is re-reported
    }
    std::forward<ReportStopPending>(report_stop_pending)();
    stop.request();
    if (ChildSlot<Child>* slot = current_child.existing()) {
        (void)slot->kill();
    }
    return CONTROL_HANDLED;
}

} // namespace kestrune::service
