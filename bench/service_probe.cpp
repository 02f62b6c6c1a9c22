// The Windows side of the service benchmarks, one command per call:
//   bench_probe install <service> <exe>     create the own-process service, or point it at <exe>
//   bench_probe start <service>             start it, wait until running; prints its pid
//   bench_probe stop <service>              stop it, wait until stopped and its process ended
//   bench_probe stop-latency <service> <runs> <settle ms>
//        per run: start, wait until running, let it settle (plus 0-1 s spread over the runs),
//        then time the stop control until the service reports stopped (what `sc stop` and a
//        status poll would see); prints one "stop_ms=<t>" line per run
//   bench_probe memory <pid>                working set and commit (private bytes) of a process;
//        Wine leaves PrivateUsage at 0 for other processes but fills PagefileUsage, which is
//        the same commit charge on Windows
//   bench_probe run <exe> <runs>            times starting <exe> until it has exited, per run
//        ("run_ms=<t>"): what a process start costs here, e.g. the route.exe stand-in
//   bench_probe checks <service dir> <data dir> <runs>
//        times the checks made before every start of sing-box (the two directories,
//        sing-box.exe and config.json, each read and judged), per run ("checks_ms=<t>")
//   bench_probe sleep <ms>                  a Wine process that only sleeps (prints its pid)
//   bench_probe listeners <runs>            per run, times reading both families' listening rows
//        with their owning processes (what the other servers' ports are read from, once a
//        minute) beside the IPv4 table without owners (what detection reads every 250 ms):
//        "listeners_ms=<t> basic_ms=<t>"
// Exit code 1 with a message on standard error when a step fails.

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <psapi.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "win/directory_security.h"
#include "win/os_error.h"
#include "win/wide.h"

namespace {

constexpr DWORD STATE_TIMEOUT_MS = 60000;

[[noreturn]] void give_up(const std::string& what, DWORD error) {
    std::fprintf(stderr, "bench_probe: %s: %s\n", what.c_str(),
                 kestrune::win::os_error_text(error).c_str());
    std::exit(1);
}

struct ServiceHandle {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    ~ServiceHandle() {
        if (service != nullptr) {
            CloseServiceHandle(service);
        }
        if (manager != nullptr) {
            CloseServiceHandle(manager);
        }
    }
};

void open_service(ServiceHandle& handle, const std::wstring& name) {
    handle.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (handle.manager == nullptr) {
        give_up("OpenSCManagerW", GetLastError());
    }
    handle.service = OpenServiceW(handle.manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (handle.service == nullptr) {
        give_up("OpenServiceW", GetLastError());
    }
}

SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
        give_up("QueryServiceStatusEx", GetLastError());
    }
    return status;
}

// Polls every millisecond, so the time of the change is known to about that much.
SERVICE_STATUS_PROCESS wait_for_state(SC_HANDLE service, DWORD state) {
    const ULONGLONG deadline = GetTickCount64() + STATE_TIMEOUT_MS;
    for (;;) {
        const SERVICE_STATUS_PROCESS status = query(service);
        if (status.dwCurrentState == state) {
            return status;
        }
        if (GetTickCount64() > deadline) {
            give_up("service state " + std::to_string(status.dwCurrentState) + " instead of " +
                        std::to_string(state),
                    ERROR_TIMEOUT);
        }
        Sleep(1);
    }
}

double milliseconds_since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

DWORD start(SC_HANDLE service) {
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        give_up("StartServiceW", GetLastError());
    }
    return wait_for_state(service, SERVICE_RUNNING).dwProcessId;
}

// Returns the milliseconds from the stop control to the stopped report; then waits for the
// process to end so the next start finds none left.
double stop(SC_HANDLE service) {
    const DWORD pid = query(service).dwProcessId;
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    LARGE_INTEGER begin;
    QueryPerformanceCounter(&begin);
    SERVICE_STATUS status{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        give_up("ControlService", GetLastError());
    }
    if (status.dwCurrentState != SERVICE_STOPPED) {
        wait_for_state(service, SERVICE_STOPPED);
    }
    const double ms = milliseconds_since(begin);
    if (process != nullptr) {
        WaitForSingleObject(process, STATE_TIMEOUT_MS);
        CloseHandle(process);
    }
    return ms;
}

void install(const std::wstring& name, const std::wstring& exe) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        give_up("OpenSCManagerW", GetLastError());
    }
    const std::wstring command = L"\"" + exe + L"\"";
    SC_HANDLE service =
        CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
        if (service == nullptr ||
            !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                  command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr)) {
            give_up("ChangeServiceConfigW", GetLastError());
        }
    } else if (service == nullptr) {
        give_up("CreateServiceW", GetLastError());
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

HANDLE open_process(const wchar_t* pid_text) {
    const DWORD pid = static_cast<DWORD>(std::wcstoul(pid_text, nullptr, 10));
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) {
        give_up("OpenProcess " + std::to_string(pid), GetLastError());
    }
    return process;
}

void print_memory(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters))) {
        give_up("GetProcessMemoryInfo", GetLastError());
    }
    std::printf("peak_working_set=%zu working_set=%zu private_usage=%zu pagefile=%zu "
                "peak_pagefile=%zu\n",
                counters.PeakWorkingSetSize, counters.WorkingSetSize, counters.PrivateUsage,
                counters.PagefileUsage, counters.PeakPagefileUsage);
}

double run_once(const std::wstring& exe) {
    std::wstring command = L"\"" + exe + L"\" ADD 5.6.7.8 MASK 255.255.255.255 10.0.0.1";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    LARGE_INTEGER begin;
    QueryPerformanceCounter(&begin);
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        give_up("CreateProcessW", GetLastError());
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    const double ms = milliseconds_since(begin);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ms;
}

double checks_once(const std::wstring& service_dir, const std::wstring& data_dir) {
    using kestrune::win::Guarded;
    LARGE_INTEGER begin;
    QueryPerformanceCounter(&begin);
    const std::pair<Guarded, std::wstring> entries[] = {
        {Guarded::data_directory, data_dir},
        {Guarded::service_directory, service_dir},
        {Guarded::service_executable, service_dir + L"\\sing-box.exe"},
        {Guarded::config_file, data_dir + L"\\config.json"},
    };
    for (const auto& [what, path] : entries) {
        if (!kestrune::win::judge_path(what, path)) {
            give_up("nothing to judge at " + kestrune::win::narrow_lossy(path), ERROR_NOT_FOUND);
        }
    }
    return milliseconds_since(begin);
}

// One GetExtendedTcpTable read, sizing call included, in ms.
double table_once(ULONG family, TCP_TABLE_CLASS table_class) {
    LARGE_INTEGER begin;
    QueryPerformanceCounter(&begin);
    DWORD size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, family, table_class, 0);
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::string buffer(size + size / 4 + 4096, '\0');
        size = static_cast<DWORD>(buffer.size());
        const DWORD code = GetExtendedTcpTable(buffer.data(), &size, FALSE, family, table_class, 0);
        if (code == NO_ERROR) {
            break;
        }
        if (code != ERROR_INSUFFICIENT_BUFFER) {
            give_up("GetExtendedTcpTable", code);
        }
    }
    return milliseconds_since(begin);
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"install" && argc == 4) {
        install(argv[2], argv[3]);
    } else if (command == L"start" && argc == 3) {
        ServiceHandle handle;
        open_service(handle, argv[2]);
        std::printf("pid=%lu\n", static_cast<unsigned long>(start(handle.service)));
    } else if (command == L"stop" && argc == 3) {
        ServiceHandle handle;
        open_service(handle, argv[2]);
        if (query(handle.service).dwCurrentState != SERVICE_STOPPED) {
            std::printf("stop_ms=%.1f\n", stop(handle.service));
        }
    } else if (command == L"stop-latency" && argc == 5) {
        ServiceHandle handle;
        open_service(handle, argv[2]);
        const int runs = std::wcstol(argv[3], nullptr, 10);
        const DWORD settle = static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10));
        for (int run = 0; run < runs; ++run) {
            start(handle.service);
            // A different moment each run, spread over a second, so the stop meets the
            // service's poll and pause timers at every phase.
            Sleep(settle + static_cast<DWORD>(run * 389 % 1000));
            std::printf("stop_ms=%.1f\n", stop(handle.service));
            std::fflush(stdout);
        }
    } else if (command == L"memory" && argc == 3) {
        print_memory(open_process(argv[2]));
    } else if (command == L"run" && argc == 4) {
        for (int run = std::wcstol(argv[3], nullptr, 10); run > 0; --run) {
            std::printf("run_ms=%.1f\n", run_once(argv[2]));
        }
    } else if (command == L"checks" && argc == 5) {
        for (int run = std::wcstol(argv[4], nullptr, 10); run > 0; --run) {
            std::printf("checks_ms=%.2f\n", checks_once(argv[2], argv[3]));
        }
    } else if (command == L"listeners" && argc == 3) {
        for (int run = std::wcstol(argv[2], nullptr, 10); run > 0; --run) {
            const double listeners = table_once(AF_INET, TCP_TABLE_OWNER_PID_LISTENER) +
                                     table_once(AF_INET6, TCP_TABLE_OWNER_PID_LISTENER);
            std::printf("listeners_ms=%.1f basic_ms=%.1f\n", listeners,
                        table_once(AF_INET, TCP_TABLE_BASIC_ALL));
            std::fflush(stdout);
        }
    } else if (command == L"sleep" && argc == 3) {
        std::printf("pid=%lu\n", GetCurrentProcessId());
        std::fflush(stdout);
        Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    } else {
        std::fprintf(stderr, "usage: see the top of service_probe.cpp\n");
        return 2;
    }
    return 0;
}
