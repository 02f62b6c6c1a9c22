// Reads back what the installer left on the machine, for the packaging test:
//   package_probe version FILE   the version resource of FILE, one "Key=value" line each
//   package_probe service NAME   the service's configuration as the service control manager
//                                holds it (Wine's sc has no qc), one "Key=value" line each
//   package_probe messages FILE  formats every event ID of the service with FILE's message
//                                table; one "MessageTable=" line, "ok" or the IDs that fail
// Exit status 0, or 1 with the failing call on standard error.

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "logging/event_kinds.h"
#include "win/wide.h"

namespace {

using kestrune::win::narrow_lossy;
using kestrune::win::widen;

int fail(const char* call) {
    std::fprintf(stderr, "%s failed: %lu\n", call, GetLastError());
    return 1;
}

void print(const char* key, const std::wstring& value) {
    std::printf("%s=%s\n", key, narrow_lossy(value).c_str());
}

int show_version(const std::wstring& file) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) {
        return fail("GetFileVersionInfoSizeW");
    }
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) {
        return fail("GetFileVersionInfoW");
    }
    void* fixed = nullptr;
    UINT fixed_size = 0;
    if (!VerQueryValueW(block.data(), L"\\", &fixed, &fixed_size) ||
        fixed_size < sizeof(VS_FIXEDFILEINFO)) {
        return fail("VerQueryValueW");
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    std::printf("FixedFileVersion=%d.%d.%d.%d\n", HIWORD(info->dwFileVersionMS),
                LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
                LOWORD(info->dwFileVersionLS));
    for (const wchar_t* key : {L"FileVersion", L"ProductVersion", L"ProductName", L"CompanyName",
                               L"FileDescription", L"OriginalFilename"}) {
        void* text = nullptr;
        UINT length = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
        if (VerQueryValueW(block.data(), path.c_str(), &text, &length) && length > 0) {
            print(narrow_lossy(key).c_str(), static_cast<const wchar_t*>(text));
        }
    }
    return 0;
}

struct ScCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScCloser>;

// QueryServiceConfig2W with its two-call size protocol; empty (and the reason printed as the
// value of KEY) when the service control manager cannot tell.
std::vector<unsigned char> config2(SC_HANDLE service, DWORD level, const char* key) {
    DWORD needed = 0;
    QueryServiceConfig2W(service, level, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed == 0 ? 1 : needed);
    if (!QueryServiceConfig2W(service, level, buffer.data(), needed, &needed)) {
        std::printf("%s=unknown (error %lu)\n", key, GetLastError());
        buffer.clear();
    }
    return buffer;
}

int show_service(const std::wstring& name) {
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return fail("OpenSCManagerW");
    }
    const ScHandle service(
        OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) {
        return fail("OpenServiceW");
    }
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, needed, &needed)) {
        return fail("QueryServiceConfigW");
    }
    print("BinaryPath", config->lpBinaryPathName);
    print("Account", config->lpServiceStartName ? config->lpServiceStartName : L"");
    print("DisplayName", config->lpDisplayName ? config->lpDisplayName : L"");
    std::printf("ServiceType=%lu\nStartType=%lu\n", config->dwServiceType, config->dwStartType);

    // Reported for the record; Wine may not keep these.
    const auto delayed =
        config2(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, "DelayedAutoStart");
    if (!delayed.empty()) {
        std::printf("DelayedAutoStart=%d\n",
                    reinterpret_cast<const SERVICE_DELAYED_AUTO_START_INFO*>(delayed.data())
                        ->fDelayedAutostart);
    }
    const auto failure = config2(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, "FailureActions");
    if (!failure.empty()) {
        const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(failure.data());
        std::printf("FailureActions=reset %lu", actions->dwResetPeriod);
        for (DWORD i = 0; i < actions->cActions; ++i) {
            std::printf(" %d/%lu", actions->lpsaActions[i].Type, actions->lpsaActions[i].Delay);
        }
        std::printf("\n");
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) {
        return fail("QueryServiceStatus");
    }
    std::printf("State=%lu\n", status.dwCurrentState);
    return 0;
}

// Event Viewer's way: the executable as a data file, each ID with its one insertion string.
int show_messages(const std::wstring& file) {
    const HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        return fail("LoadLibraryExW");
    }
    std::string failed;
    for (const kestrune::logging::EventKind& kind : kestrune::logging::event_kinds()) {
        const std::wstring line = L"line of kind " + std::to_wstring(kind.id) + L": 100% \\x";
        const DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(line.c_str())};
        wchar_t text[256] = {};
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, kind.id, 0, text,
            256, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
        if (std::wstring(text, length) != line) {
            failed += " " + std::to_string(kind.id) + "=\"" + narrow_lossy(text) + "\"";
        }
    }
    FreeLibrary(module);
    std::printf("MessageTable=%s\n", failed.empty() ? "ok" : failed.c_str());
    return failed.empty() ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc == 3 ? argv[1] : L"";
    if (command == L"version") {
        return show_version(argv[2]);
    }
    if (command == L"service") {
        return show_service(argv[2]);
    }
    if (command == L"messages") {
        return show_messages(argv[2]);
    }
    std::fprintf(stderr, "usage: package_probe version FILE | service NAME | messages FILE\n");
    return 2;
}
