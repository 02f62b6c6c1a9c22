#pragma once
// The HandlerEx that the service registers. It runs on the dispatcher thread; only the control
// code is looked at.

#include <windows.h>

namespace kestrune::service {

DWORD WINAPI service_control_handler(DWORD control, DWORD event_type, LPVOID event_data,
                                     LPVOID context);

} // namespace kestrune::service
