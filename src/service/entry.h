#pragma once
// The process entry: service mode under the service control manager, console mode otherwise.

#include "win/result.h"

namespace kestrune::service {

// Offers the service to the dispatcher; when that fails (the process was not started by the
// service control manager) runs sing-box once in console mode. The error text is what the
// process prints on standard error before it exits with status 1.
Status run();

} // namespace kestrune::service
