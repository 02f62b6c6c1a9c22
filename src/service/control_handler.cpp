#include "service/control_handler.h"

#include "service/control.h"
#include "service/current_child.h"
#include "service/status.h"
#include "service/stop_signal.h"

namespace kestrune::service {

static_assert(CONTROL_STOP == SERVICE_CONTROL_STOP && CONTROL_PAUSE == SERVICE_CONTROL_PAUSE &&
              CONTROL_INTERROGATE == SERVICE_CONTROL_INTERROGATE && CONTROL_HANDLED == NO_ERROR);

DWORD WINAPI service_control_handler(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/,
                                     LPVOID /*context*/) {
    return handle_control(
        control, stop_signal(), [] { report_status(SERVICE_STOP_PENDING, 0, 0); },
        current_child_holder());
}

} // namespace kestrune::service
