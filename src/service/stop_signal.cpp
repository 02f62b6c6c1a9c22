#include "service/stop_signal.h"

namespace kestrune::service {

namespace {
constinit StopSignal process_stop_signal;
} // namespace

StopSignal& stop_signal() {
    return process_stop_signal;
}

} // namespace kestrune::service
