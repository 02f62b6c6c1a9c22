// The least a service can be: it reports running and, on the stop control, reports stopped
// at once from the handler. Its `sc stop` time is the cost of the control round trip alone,
// the baseline beside which the real service's stop latency is shown.

#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stopped = nullptr;

void report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(status_handle, &status);
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOPPED);
        SetEvent(stopped);
    }
    return NO_ERROR;
}

void WINAPI service_main(DWORD, LPWSTR*) {
    status_handle = RegisterServiceCtrlHandlerExW(L"KestruneBenchMinimal", handler, nullptr);
    if (status_handle == nullptr) {
        return;
    }
    report(SERVICE_RUNNING);
    WaitForSingleObject(stopped, INFINITE);
}

} // namespace

int main() {
    stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"KestruneBenchMinimal";
    const SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
