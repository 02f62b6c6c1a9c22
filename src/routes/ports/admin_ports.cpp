#include "routes/ports/admin_ports.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <tlhelp32.h>
// clang-format on

#include <algorithm>
#include <cstddef>

#include <array>
#include <memory>
#include <set>
#include <span>
#include <type_traits>

#include "logging/log_directory.h"
#include "routes/peers/tcp_table.h"
#include "routes/ports/sshd_config.h"
#include "routes/ports/winrm_listener.h"
#include "win/os_error.h"
#include "win/unique_handle.h"
#include "win/wide.h"

namespace kestrune::routes {
namespace {

struct CloseService {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, CloseService>;

struct CloseKey {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyHandle = std::unique_ptr<std::remove_pointer_t<HKEY>, CloseKey>;

struct CloseSearch {
    void operator()(HANDLE search) const { FindClose(search); }
};
using SearchHandle = std::unique_ptr<void, CloseSearch>;

// Larger than any sshd configuration; a file this large is refused rather than read whole.
constexpr std::size_t MAX_CONFIG_BYTES = 1 << 20;

std::string error_text(DWORD code) {
    return win::os_error_text(static_cast<std::uint32_t>(code));
}

struct InstalledService {
    std::string command_line;     // its ImagePath
    std::uint32_t process_id = 0; // 0 while it does not run
};

// Service `name` as the service manager has it; nullopt when no such service is installed.
Result<std::optional<InstalledService>> installed_service(const std::wstring& name) {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return fail("OpenSCManagerW failed: " + error_text(GetLastError()));
    }
    const ServiceHandle service(
        OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
            return std::optional<InstalledService>();
        }
        return fail("OpenServiceW failed: " + error_text(code));
    }
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed); // the size; fails by design
    std::vector<QUERY_SERVICE_CONFIGW> buffer(needed / sizeof(QUERY_SERVICE_CONFIGW) + 1);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(QUERY_SERVICE_CONFIGW));
    if (!QueryServiceConfigW(service.get(), buffer.data(), size, &needed)) {
        return fail("QueryServiceConfigW failed: " + error_text(GetLastError()));
    }
    const wchar_t* path = buffer[0].lpBinaryPathName;
    InstalledService installed{win::narrow_lossy(path != nullptr ? path : L""), 0};
    // The process it runs in: its listening rows are the ports it really serves.
    SERVICE_STATUS_PROCESS status{};
    DWORD status_size = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof(status), &status_size) &&
        status.dwCurrentState == SERVICE_RUNNING) {
        installed.process_id = status.dwProcessId;
    }
    return std::optional(std::move(installed));
}

// Configuration files are local files: a pipe, a device or a share could keep the worker
// waiting on its read, and protection with it.
Result<std::optional<std::string>> read_config_file(const std::string& path) {
    if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
        (path[1] == '\\' || path[1] == '/')) {
        return fail("cannot read " + path + ": not a local file");
    }
    const win::UniqueHandle file(CreateFileW(win::widen(path).c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                             nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return std::optional<std::string>();
        }
        return fail("cannot read " + path + ": " + error_text(code));
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        return fail("cannot read " + path + ": not a local file");
    }
    std::string text;
    std::array<char, 8192> buffer{};
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), buffer.size(), &got, nullptr)) {
            return fail("cannot read " + path + ": " + error_text(GetLastError()));
        }
        if (got == 0) {
            return std::optional(std::move(text));
        }
        text.append(buffer.data(), got);
        if (text.size() > MAX_CONFIG_BYTES) {
            return fail("cannot read " + path + ": larger than 1 MiB");
        }
    }
}

Result<std::vector<std::string>> list_folder(const std::string& folder) {
    WIN32_FIND_DATAW found{};
    const std::wstring pattern = win::widen(folder + "\\*");
    const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    std::vector<std::string> names;
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return names;
        }
        return fail("cannot list " + folder + ": " + error_text(code));
    }
    const SearchHandle owned(search);
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            if (std::optional<std::string> name = win::narrow(found.cFileName)) {
                names.push_back(std::move(*name));
            }
        }
    } while (FindNextFileW(search, &found));
    if (const DWORD code = GetLastError(); code != ERROR_NO_MORE_FILES) {
        return fail("cannot list " + folder + ": " + error_text(code));
    }
    return names;
}

Result<std::vector<std::uint16_t>>
read_sshd_ports(const Result<std::optional<InstalledService>>& service) {
    if (!service) {
        return fail(service.error());
    }
    if (!*service) {
        return std::vector<std::uint16_t>();
    }
    const Result<SshdCommandLine> command_line = parse_sshd_command_line((*service)->command_line);
    if (!command_line) {
        return fail(command_line.error());
    }
    // The ProgramData folder as services see it, as for the log directory.
    const std::optional<std::wstring> programdata = logging::environment_variable(L"PROGRAMDATA");
    return sshd_ports(*command_line,
                      programdata ? win::narrow_lossy(*programdata) : "C:\\ProgramData",
                      ConfigFiles{read_config_file, list_folder});
}

// WinRM is not asked: its listeners can be enumerated only through WS-Management itself
// (winrm/config/listener, by COM), which needs the WinRM service running and answering, so
// every boot and every restart of WinRM would be a failure here, and a hung WinRM would hold
// the worker. Its configuration store in the registry is read instead; it is undocumented,
// so what it holds is judged leniently (winrm_listener.h).
Result<std::vector<std::uint16_t>> read_winrm_ports() {
    const Result<std::optional<InstalledService>> service = installed_service(L"WinRM");
    if (!service) {
        return fail(service.error());
    }
    if (!*service) {
        return std::vector<std::uint16_t>();
    }
    std::set<std::uint16_t> ports;
    HKEY opened = nullptr;
    LSTATUS code = RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                 L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WSMAN\\Listener",
                                 0, KEY_READ | KEY_WOW64_64KEY, &opened);
    if (code == ERROR_SUCCESS) {
        const KeyHandle listeners(opened);
        for (DWORD index = 0;; ++index) {
            std::array<wchar_t, 256> name{};
            DWORD length = name.size();
            code = RegEnumKeyExW(listeners.get(), index, name.data(), &length, nullptr, nullptr,
                                 nullptr, nullptr);
            if (code == ERROR_NO_MORE_ITEMS) {
                break;
            }
            if (code == ERROR_MORE_DATA) {
                continue; // longer than any "<address>+<transport>"
            }
            if (code != ERROR_SUCCESS) {
                return fail("cannot list WinRM's listeners: " + error_text(code));
            }
            std::array<std::uint8_t, 64> data{};
            DWORD size = data.size();
            DWORD type = REG_NONE;
            code = RegGetValueW(listeners.get(), name.data(), L"Port", RRF_RT_ANY, &type,
                                data.data(), &size);
            if (code != ERROR_SUCCESS) {
                type = REG_NONE; // missing, or too long for a port: the transport's default
                size = 0;
            }
            const std::optional<std::uint16_t> port =
                winrm_listener_port(win::narrow_lossy(std::wstring_view(name.data(), length)), type,
                                    std::span(data).first(std::min<DWORD>(size, data.size())));
            if (port) {
                ports.insert(*port);
            }
        }
    } else if (code != ERROR_FILE_NOT_FOUND) { // no key: no listener, WinRM's default
        return fail("cannot read WinRM's listeners: " + error_text(code));
    }
    // The Group Policy "Allow remote server management through WinRM" (AllowAutoConfig) makes
    // WinRM listen on the default HTTP port without a listener in the store.
    DWORD auto_config = 0;
    DWORD size = sizeof(auto_config);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Microsoft\\Windows\\WinRM\\Service",
                     L"AllowAutoConfig", RRF_RT_REG_DWORD, nullptr, &auto_config,
                     &size) == ERROR_SUCCESS &&
        auto_config != 0) {
        ports.insert(WINRM_HTTP_PORT);
    }
    return std::vector<std::uint16_t>(ports.begin(), ports.end());
}

// Both families' listening rows with their owning processes. Under Wine every row is owned by
// process 0 (its sockets live in the Wine server), so nothing is ever taken from them there.
Result<std::vector<ListeningSocket>> read_listening_sockets() {
    std::vector<ListeningSocket> rows;
    for (const ULONG family : {AF_INET, AF_INET6}) {
        const bool ipv6 = family == AF_INET6;
        const Result<std::vector<std::uint8_t>> table = read_tcp_table(
            [family](void* buffer, std::uint32_t* size) -> std::uint32_t {
                DWORD table_size = *size;
                const DWORD code = GetExtendedTcpTable(buffer, &table_size, FALSE, family,
                                                       TCP_TABLE_OWNER_PID_LISTENER, 0);
                *size = table_size;
                return code;
            },
            ipv6 ? "GetExtendedTcpTable (IPv6 listeners)" : "GetExtendedTcpTable (listeners)",
            ipv6 ? sizeof(MIB_TCP6ROW_OWNER_PID) : sizeof(MIB_TCPROW_OWNER_PID));
        if (!table) {
            return fail(table.error());
        }
        const std::vector<ListeningSocket> part = listening_sockets_in(*table, ipv6);
        rows.insert(rows.end(), part.begin(), part.end());
    }
    return rows;
}

// The layouts listening_sockets_in reads.
static_assert(sizeof(MIB_TCPROW_OWNER_PID) == 24);
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwLocalPort) == 8);
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwOwningPid) == 20);
static_assert(sizeof(MIB_TCP6ROW_OWNER_PID) == 56);
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwLocalPort) == 20);
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwOwningPid) == 52);
static_assert(offsetof(MIB_TCPTABLE_OWNER_PID, table) == 4);
static_assert(offsetof(MIB_TCP6TABLE_OWNER_PID, table) == 4);

Result<std::vector<ProcessEntry>> read_processes() {
    const win::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return fail("CreateToolhelp32Snapshot failed: " + error_text(GetLastError()));
    }
    std::vector<ProcessEntry> processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        processes.push_back({entry.th32ProcessID, entry.th32ParentProcessID});
    }
    return processes;
}

} // namespace

AdminPortWatch::Reading AdminPortReader::read() {
    const Result<std::optional<InstalledService>> sshd = installed_service(L"sshd");
    std::vector<Result<std::optional<InstalledService>>> servers;
    for (const AdminServer& server : LISTENING_SERVERS) {
        servers.push_back(installed_service(win::widen(server.service)));
    }
    // The tables and the process list only when a server runs whose rows could count.
    const auto runs = [](const Result<std::optional<InstalledService>>& service) {
        return service && *service && (*service)->process_id != 0;
    };
    std::optional<Result<std::vector<ListeningSocket>>> rows;
    if (runs(sshd) || std::ranges::any_of(servers, runs)) {
        rows = read_listening_sockets();
    }
    std::optional<Result<std::vector<ProcessEntry>>> processes;
    // None when it does not run or its rows cannot be read: its memory keeps what it had.
    const auto ports_now = [&](const Result<std::optional<InstalledService>>& service,
                               bool with_children) -> std::optional<std::vector<std::uint16_t>> {
        if (!runs(service) || !rows || !*rows) {
            return std::nullopt;
        }
        if (with_children && !processes) {
            processes = read_processes();
        }
        const bool listed = with_children && *processes;
        return listening_ports_of((*service)->process_id, **rows, listed ? &**processes : nullptr);
    };
    // A service whose state cannot be read counts as installed: what it had stays watched.
    const auto installed = [](const Result<std::optional<InstalledService>>& service) {
        return !service || service->has_value();
    };

    AdminPortWatch::Reading reading;
    reading.push_back({std::string(SSHD_SERVER.label), read_sshd_ports(sshd),
                       sshd_.observe(installed(sshd), ports_now(sshd, SSHD_SERVER.with_children))});
    reading.push_back({"WinRM", read_winrm_ports()});
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const AdminServer& server = LISTENING_SERVERS[i];
        Result<std::vector<std::uint16_t>> failure = std::vector<std::uint16_t>();
        if (!servers[i]) {
            failure = fail(servers[i].error());
        } else if (runs(servers[i]) && rows && !*rows) {
            failure = fail(rows->error());
        }
        reading.push_back({std::string(server.label), std::move(failure),
                           servers_[i].observe(installed(servers[i]),
                                               ports_now(servers[i], server.with_children))});
    }
    return reading;
}

} // namespace kestrune::routes
