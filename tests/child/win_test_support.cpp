#include "win_test_support.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "logging/shared_log.h"
#include "win/wide.h"

namespace kestrune::child::test {

// Wine reuses process ids between runs in one prefix, so the per-run root also carries the
// clock and must be new.
std::wstring run_root() {
    static const std::wstring root = [] {
        wchar_t temp[MAX_PATH + 1];
        const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
        for (;;) {
            LARGE_INTEGER now{};
            QueryPerformanceCounter(&now);
            const std::wstring dir = std::wstring(temp, n) + L"kestrune-child-" +
                                     std::to_wstring(GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(now.QuadPart);
            if (CreateDirectoryW(dir.c_str(), nullptr)) {
                return dir;
            }
        }
    }();
    return root;
}

std::wstring make_temp_dir(const std::wstring& name) {
    static std::atomic<int> counter{0};
    const std::wstring dir = run_root() + L"\\" + std::to_wstring(counter++) + L"\\" + name;
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

std::wstring make_service_dir(const std::wstring& name, bool with_sing_box) {
    const std::wstring dir = make_temp_dir(name);
    if (with_sing_box &&
        !CopyFileW(stand_in_path().c_str(), (dir + L"\\sing-box.exe").c_str(), FALSE)) {
        throw std::runtime_error("cannot copy the stand-in");
    }
    return dir + L"\\kestrune-service.exe";
}

void write_file(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + win::narrow_lossy(path));
    }
}

std::string read_file(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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

std::wstring set_programdata_with_config(const std::wstring& programdata,
                                         const std::string& config) {
    SetEnvironmentVariableW(L"PROGRAMDATA", programdata.c_str());
    const std::wstring directory =
        programdata.empty() ? L"KestruneConnect" : programdata + L"\\KestruneConnect";
    make_directory_chain(directory);
    const std::wstring config_path = directory + L"\\config.json";
    write_file(config_path, config);
    return config_path;
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

Result<SingBoxChild> spawn_stand_in(const std::string& config) {
    static const std::wstring service_exe = make_service_dir(L"svc", true);
    set_programdata_with_config(make_temp_dir(L"data"), config);
    return spawn_sing_box_from(service_exe);
}

DWORD thread_count() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    DWORD count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

// GetProcessHandleCount is a stub under Wine; the system handle table is not.
std::size_t handle_count() {
    struct HandleEntry {
        ULONG process_id;
        BYTE object_type;
        BYTE flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct HandleTable {
        ULONG count;
        HandleEntry entries[1];
    };
    using Query = LONG(WINAPI*)(int, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
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
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    std::size_t count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
        if (table->entries[i].process_id == GetCurrentProcessId()) {
            ++count;
        }
    }
    return count;
}

long shared_log_references() {
    auto log = logging::shared_log();
    return log.ok() ? log->use_count() - 1 : -1;
}

namespace {
std::wstring& stored_log_path() {
    static std::wstring path;
    return path;
}
} // namespace

const std::wstring& log_path() {
    return stored_log_path();
}
void set_log_path(std::wstring path) {
    stored_log_path() = std::move(path);
}

} // namespace kestrune::child::test
