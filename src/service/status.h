#pragma once
// Registration of the control handler and the status reports to the service control manager.

#include <windows.h>

#include <atomic>
#include <string>

namespace kestrune::service {

// Null until registration, and for good if it failed. Written once by the service main; read
// by the handler (on the dispatcher thread) and by every report.
extern std::atomic<SERVICE_STATUS_HANDLE> status_handle;

// RegisterServiceCtrlHandlerExW with service_control_handler and a null context; stores the
// result in status_handle and tells whether it is non-null.
bool register_control_handler(const std::wstring& service_name);

// Own-process service, service-specific exit code 0; checkpoints, wait hints and the reports
// that are dropped follow StatusSequence (status_reports.h). Safe from any thread that holds
// no lock. Skipped silently while status_handle is null; a failed SetServiceStatus is ignored.
void report_status(DWORD state, DWORD controls_accepted, DWORD win32_exit_code);

// Where reports go: SetServiceStatus, unless a test has put a recorder in its place. Returns
// the sink that was installed before. The new sink gets a sequence of its own.
using StatusSink = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
StatusSink replace_status_sink(StatusSink sink);

} // namespace kestrune::service
