#include "service/status.h"

#include "service/control_handler.h"
#include "service/status_reports.h"

namespace kestrune::service {

std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};

namespace {

static_assert(STATE_STOPPED == SERVICE_STOPPED && STATE_START_PENDING == SERVICE_START_PENDING &&
              STATE_STOP_PENDING == SERVICE_STOP_PENDING && STATE_RUNNING == SERVICE_RUNNING &&
              ACCEPTS_STOP == SERVICE_ACCEPT_STOP);

std::atomic<StatusSink> status_sink{&SetServiceStatus};

// Called under the sequence's mutex, so two SetServiceStatus calls never overlap.
void send(const StatusReport& report) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = report.state;
    status.dwControlsAccepted = report.controls_accepted;
    status.dwWin32ExitCode = report.win32_exit_code;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = report.check_point;
    status.dwWaitHint = report.wait_hint_ms;
    (void)status_sink.load()(status_handle.load(), &status);
}

StatusSequence& reports() {
    static StatusSequence sequence(&send);
    return sequence;
}

} // namespace

bool register_control_handler(const std::wstring& service_name) {
    SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(service_name.c_str(), &service_control_handler, nullptr);
    reports().restart();
    status_handle.store(handle);
    return handle != nullptr;
}

void report_status(DWORD state, DWORD controls_accepted, DWORD win32_exit_code) {
    if (status_handle.load() == nullptr) {
        return;
    }
    (void)reports().report(state, controls_accepted, win32_exit_code);
}

StatusSink replace_status_sink(StatusSink sink) {
    reports().restart();
    return status_sink.exchange(sink);
}

} // namespace kestrune::service
