#include "win_support.h"

#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "win/unique_handle.h"
#include "win/wide.h"

namespace kestrune::test {

std::wstring make_temp_dir(const std::wstring& name) {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    // Wine hands out the same small process ids run after run, so the time goes in too: a
    // directory left by an earlier run must never be mistaken for this one's.
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long stamp =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    std::wstring dir = std::wstring(temp, n) + L"kestrune-test-" +
                       std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(stamp) +
                       L"-" + std::to_wstring(counter++) + L"\\" + name;
    make_directory_chain(dir);
    return dir;
}

void make_directory_chain(const std::wstring& path) {
    for (std::size_t at = path.find(L'\\', 3); at != std::wstring::npos;
         at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

std::wstring exe_directory() {
    wchar_t path[4096];
    const DWORD n = GetModuleFileNameW(nullptr, path, 4096);
    const std::wstring full(path, n);
    return full.substr(0, full.rfind(L'\\'));
}

std::wstring stand_in_path() {
    return exe_directory() + L"\\sing_box_stand_in.exe";
}
std::wstring route_stand_in_path() {
    return exe_directory() + L"\\route_stand_in.exe";
}
std::wstring service_exe_path() {
    return exe_directory() + L"\\KestruneConnectSingBox.exe";
}

std::wstring system_directory() {
    wchar_t path[MAX_PATH + 1];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH + 1);
    return std::wstring(path, n);
}

void write_file(const std::wstring& path, const std::string& bytes) {
    // Not through the C runtime, whose handles are inheritable: a process another test thread
    // starts meanwhile would inherit this one and hold the file open (a later rename of it then
    // fails with a sharing violation for as long as that process runs).
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok =
        file != INVALID_HANDLE_VALUE &&
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (!ok) {
        throw std::runtime_error("cannot write " + win::narrow_lossy(path));
    }
}

std::string read_file(const std::wstring& path) {
    // Not inheritable either (see write_file), and sharing everything, as a reader should.
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string text;
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        text.append(buffer, got);
    }
    CloseHandle(file);
    return text;
}

bool file_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

std::string json(const std::wstring& text) {
    return json(win::narrow_lossy(text));
}

bool eventually(const std::function<bool()>& done, int limit_ms) {
    for (int waited = 0; waited < limit_ms; waited += 10) {
        if (done()) {
            return true;
        }
        Sleep(10);
    }
    return done();
}

DWORD thread_count() {
    win::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    DWORD count = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ++count;
        }
    }
    return count;
}

namespace {

using NtQuerySystemInformationCall = LONG(WINAPI*)(int, PVOID, ULONG, PULONG);
using NtQueryObjectCall = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);

template <typename Call> Call ntdll_call(const char* name) {
    return reinterpret_cast<Call>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// The UNICODE_STRING that NtQueryObject puts at the start of both its type and its name
// answers; empty when the system does not tell.
std::string object_text(HANDLE handle, int information_class) {
    static const auto query = ntdll_call<NtQueryObjectCall>("NtQueryObject");
    struct Text {
        USHORT length;
        USHORT maximum_length;
        PWSTR buffer;
    };
    alignas(8) char buffer[4096];
    ULONG needed = 0;
    if (query(handle, information_class, buffer, sizeof buffer, &needed) != 0) {
        return {};
    }
    const auto* text = reinterpret_cast<const Text*>(buffer);
    if (text->buffer == nullptr) {
        return {};
    }
    return win::narrow_lossy(std::wstring_view(text->buffer, text->length / sizeof(wchar_t)));
}

// This process's rows of the system handle table: value and granted access.
std::vector<std::pair<USHORT, ACCESS_MASK>> own_handle_rows() {
    struct Row {
        ULONG process_id;
        BYTE object_type;
        BYTE flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct Table {
        ULONG count;
        Row rows[1];
    };
    static const auto query = ntdll_call<NtQuerySystemInformationCall>("NtQuerySystemInformation");
    constexpr int SYSTEM_HANDLE_INFORMATION = 16;
    constexpr LONG STATUS_INFO_LENGTH_MISMATCH = static_cast<LONG>(0xC0000004);
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(SYSTEM_HANDLE_INFORMATION, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_INFO_LENGTH_MISMATCH) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0) {
            throw std::runtime_error("NtQuerySystemInformation failed");
        }
        break;
    }
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    std::vector<std::pair<USHORT, ACCESS_MASK>> rows;
    for (ULONG i = 0; i < table->count; ++i) {
        if (table->rows[i].process_id == GetCurrentProcessId()) {
            rows.emplace_back(table->rows[i].handle, table->rows[i].access);
        }
    }
    return rows;
}

} // namespace

std::vector<HandleEntry> handle_table() {
    constexpr int OBJECT_NAME_INFORMATION = 1;
    constexpr int OBJECT_TYPE_INFORMATION = 2;
    std::vector<HandleEntry> entries;
    for (const auto& [value, access] : own_handle_rows()) {
        const auto handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
        entries.push_back({value, access, object_text(handle, OBJECT_TYPE_INFORMATION),
                           object_text(handle, OBJECT_NAME_INFORMATION)});
    }
    return entries;
}

// Counted often while polling, so without asking each handle's type and name.
std::size_t handle_count() {
    return own_handle_rows().size();
}

std::string handle_difference(const std::vector<HandleEntry>& before,
                              const std::vector<HandleEntry>& after) {
    const auto key = [](const HandleEntry& e) { return std::tuple(e.value, e.type, e.name); };
    const auto listed = [&](const std::vector<HandleEntry>& in, const HandleEntry& e) {
        return std::any_of(in.begin(), in.end(),
                           [&](const HandleEntry& other) { return key(other) == key(e); });
    };
    std::ostringstream out;
    const auto show = [&out](char sign, const HandleEntry& e) {
        out << sign << " 0x" << std::hex << e.value << " access 0x" << e.access << std::dec << " "
            << (e.type.empty() ? "?" : e.type) << (e.name.empty() ? "" : " ") << e.name << "\n";
    };
    for (const HandleEntry& e : after) {
        if (!listed(before, e)) {
            show('+', e);
        }
    }
    for (const HandleEntry& e : before) {
        if (!listed(after, e)) {
            show('-', e);
        }
    }
    return out.str();
}

std::string without_lines_starting(const std::string& log, const std::string& prefix) {
    std::string out;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end + 1;
        if (log.compare(start, prefix.size(), prefix) != 0) {
            out.append(log, start, end - start);
        }
        start = end;
    }
    return out;
}

// Wine 8's CreateSymbolicLinkW does nothing and reports success, and it can delete no Unix
// symbolic link to a directory; but it shows such a link as a reparse point and can start a
// Unix program, so there links are made and removed with ln and rm. Wine cannot wait for a
// Unix process (the wait fails at once), so the result is polled for.
bool run_unix_on_paths(const wchar_t* command, const std::vector<std::wstring>& paths,
                       const std::function<bool()>& done) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    std::wstring line = command;
    for (const std::wstring& path : paths) {
        char* name = unix_name(path.c_str());
        line += L" \"" + win::widen(name) + L"\"";
        HeapFree(GetProcessHeap(), 0, name);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return false;
    }
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    for (int waited = 0; waited < 30000 && !done(); waited += 10) {
        Sleep(10);
    }
    return done();
}

bool set_directory_sddl(const std::wstring& path, const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return false;
    }
    const BOOL ok = SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return ok != FALSE;
}

namespace {

// This process's environment with some variables replaced, as a CreateProcessW block
// (sorted, as Windows expects).
std::wstring
environment_block(const std::vector<std::pair<std::wstring, std::wstring>>& overrides) {
    std::map<std::wstring, std::wstring> variables;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; *p != L'\0'; p += wcslen(p) + 1) {
        const std::wstring entry(p);
        const std::size_t equals = entry.find(L'=', 1);
        if (equals != std::wstring::npos) {
            variables[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
    }
    FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : overrides) {
        variables[name] = value;
    }
    std::wstring block;
    for (const auto& [name, value] : variables) {
        block += name + L"=" + value;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

std::string drain(HANDLE pipe) {
    std::string out;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
        out.append(buffer, n);
    }
    return out;
}

} // namespace

ProcessResult run_process(const std::wstring& executable, const std::wstring& arguments,
                          const std::vector<std::pair<std::wstring, std::wstring>>& environment,
                          DWORD limit_ms) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    win::UniqueHandle out_read, out_write, err_read, err_write;
    if (!CreatePipe(out_read.put(), out_write.put(), &inherit, 0) ||
        !CreatePipe(err_read.put(), err_write.put(), &inherit, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
    SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
    win::UniqueHandle null_in(CreateFileW(L"\\\\.\\NUL", GENERIC_READ, FILE_SHARE_READ, &inherit,
                                          OPEN_EXISTING, 0, nullptr));

    std::wstring command_line = L"\"" + executable + L"\" " + arguments;
    std::wstring block = environment_block(environment);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_in.get();
    startup.hStdOutput = out_write.get();
    startup.hStdError = err_write.get();
    PROCESS_INFORMATION info{};
    // On a loaded machine Wine now and then loses a new process while it starts, and
    // CreateProcessW fails with ERROR_INTERNAL_ERROR; the tool was never run, so it is started
    // again. The service's own starts meet this with their retries.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                           CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr,
                           &startup, &info)) {
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
            throw std::runtime_error("cannot start " + win::narrow_lossy(executable) + " (error " +
                                     std::to_string(error) + ")");
        }
        Sleep(500);
    }
    win::UniqueHandle process(info.hProcess);
    win::UniqueHandle thread(info.hThread);
    out_write.reset();
    err_write.reset();
    null_in.reset();

    ProcessResult result;
    std::thread err_reader([&] { result.standard_error = drain(err_read.get()); });
    std::thread out_reader([&] { result.standard_output = drain(out_read.get()); });
    result.finished = WaitForSingleObject(process.get(), limit_ms) == WAIT_OBJECT_0;
    if (!result.finished) {
        TerminateProcess(process.get(), 999);
        WaitForSingleObject(process.get(), INFINITE);
    }
    GetExitCodeProcess(process.get(), &result.exit_code);
    err_reader.join();
    out_reader.join();
    return result;
}

void wait_for_settled_services() {
    eventually(
        [] {
            SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
            if (manager == nullptr) {
                return false;
            }
            std::vector<BYTE> buffer(256 * 1024);
            DWORD needed = 0, count = 0, resume = 0;
            const BOOL ok = EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO,
                                                  SERVICE_WIN32 | SERVICE_DRIVER, SERVICE_STATE_ALL,
                                                  buffer.data(), static_cast<DWORD>(buffer.size()),
                                                  &needed, &count, &resume, nullptr);
            CloseServiceHandle(manager);
            if (!ok) {
                return false;
            }
            const auto* services =
                reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
            for (DWORD i = 0; i < count; ++i) {
                if (services[i].ServiceStatusProcess.dwCurrentState == SERVICE_START_PENDING) {
                    return false;
                }
            }
            return true;
        },
        60000);
    // The boot services report running before their own start-up has fully settled.
    Sleep(500);
}

} // namespace kestrune::test
