#include "service/status.h"

#include "service/control_handler.h"

namespace kestrune::service {

std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};

namespace {

constexpr DWORD STATUS_WAIT_HINT_MS = 3000;

std::atomic<StatusSink> status_sink{&SetServiceStatus};

} // namespace

bool register_control_handler(const std::wstring& service_name) {
    SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(service_name.c_str(), &service_control_handler, nullptr);
    status_handle.store(handle);
    return handle != nullptr;
}

void report_status(DWORD state, DWORD controls_accepted, DWORD win32_exit_code) {
    SERVICE_STATUS_HANDLE handle = status_handle.load();
    if (handle == nullptr) {
        return;
    }
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls_accepted;
    status.dwWin32ExitCode = win32_exit_code;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = STATUS_WAIT_HINT_MS;
    (void)status_sink.load()(handle, &status);
}

StatusSink replace_status_sink(StatusSink sink) {
    return status_sink.exchange(sink);
}

} // namespace kestrune::service
