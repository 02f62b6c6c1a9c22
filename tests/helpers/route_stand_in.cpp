// Stand-in for the system's route.exe. Tests place it as <WINDIR>\System32\route.exe; it
// changes no route. Each run appends its whole command line (GetCommandLineW, as UTF-8) as one
// line to route-record.txt beside itself, writes the GetFileType values of its standard
// input, output and error ("2 2 2" for the null device) to route-std-handles.txt and its
// process id to route-pid.txt, waits while route-hold.txt exists beside itself (when that file
// names a verb, only runs with that verb wait: "DELETE" hangs every deletion, however long),
// sleeps the milliseconds written in route-delay-ms.txt beside itself (none when it is missing),
// then exits with the code written in route-exit-code.txt beside itself (decimal or
// 0x-prefixed hex), or 0 when that file is missing. While route-carried-out.txt exists beside
// itself (route_follower.py writes there how many bytes of the record it has carried out), it
// first waits, at most 5 s, until its own line is carried out: route.exe ends once the route
// is in the table.

#include <windows.h>

#include <cstdlib>
#include <string>

#include "win/wide.h"

namespace {

std::wstring own_directory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return L".";
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/"));
}

// Runs side by side append under a lock: Wine's append is a seek and a write, and two
// processes between the two lose a line. `end`, when given, gets the file's size after it.
bool append_line(const std::wstring& file, const std::string& line,
                 unsigned long long* end = nullptr) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    OVERLAPPED far_byte{};
    far_byte.Offset = 0xFFFFFFF0u; // a byte no line reaches
    const bool locked = LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &far_byte);
    const std::string text = line + "\n";
    DWORD written = 0;
    LARGE_INTEGER at{};
    const BOOL ok =
        SetFilePointerEx(handle, LARGE_INTEGER{}, &at, FILE_END) &&
        WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    if (end != nullptr) {
        *end = static_cast<unsigned long long>(at.QuadPart) + written;
    }
    if (locked) {
        UnlockFileEx(handle, 0, 1, 0, &far_byte);
    }
    CloseHandle(handle);
    return ok && written == text.size();
}

// The first 31 bytes of the file, or nothing when it cannot be read. Shared for writing, so a
// test rewriting the file meanwhile never meets a sharing violation.
std::string read_start(const std::wstring& file) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    char buffer[32] = {};
    DWORD read = 0;
    ReadFile(handle, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(handle);
    return std::string(buffer, read);
}

// Whether this run's verb is held: any run while the file is empty, or the verb it names.
bool held(const std::wstring& hold) {
    if (GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    std::string verb = read_start(hold);
    verb.erase(verb.find_last_not_of(" \r\n") + 1);
    const std::string command = kestrune::win::narrow_lossy(GetCommandLineW());
    return verb.empty() || command.find("\" " + verb + " ") != std::string::npos;
}

} // namespace

int main() {
    const std::wstring directory = own_directory();
    unsigned long long end = 0;
    if (!append_line(directory + L"\\route-record.txt",
                     kestrune::win::narrow_lossy(GetCommandLineW()), &end)) {
        ExitProcess(99);
    }
    const std::wstring carried_out = directory + L"\\route-carried-out.txt";
    for (int waited = 0; waited < 500; ++waited) {
        const std::string done = read_start(carried_out);
        if (done.empty() || std::strtoull(done.c_str(), nullptr, 10) >= end) {
            break;
        }
        Sleep(10);
    }
    std::string types;
    for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        types += (types.empty() ? "" : " ") + std::to_string(GetFileType(GetStdHandle(which)));
    }
    const std::wstring handles_file = directory + L"\\route-std-handles.txt";
    DeleteFileW(handles_file.c_str());
    append_line(handles_file, types);
    const std::wstring pid_file = directory + L"\\route-pid.txt";
    DeleteFileW(pid_file.c_str());
    append_line(pid_file, std::to_string(GetCurrentProcessId()));
    const std::wstring hold = directory + L"\\route-hold.txt";
    while (held(hold)) {
        Sleep(10);
    }
    const std::string delay = read_start(directory + L"\\route-delay-ms.txt");
    Sleep(static_cast<DWORD>(std::strtoul(delay.c_str(), nullptr, 10)));
    const std::string code = read_start(directory + L"\\route-exit-code.txt");
    ExitProcess(static_cast<UINT>(std::strtoul(code.c_str(), nullptr, 0)));
}
