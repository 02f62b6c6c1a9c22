// One output-capture throughput run under Wine:
//   bench_capture <mode> <work folder> <line length> <bytes>
//
// The sing-box stand-in (copied to <work>\service\sing-box.exe) writes <bytes> as numbered
// lines of <line length> bytes, in 64 KiB writes, then the line "bench-end". The time runs
// from just before the child is started until every byte is in the file:
//   service   spawn_sing_box_from with the real pumps and the shared rotating log
//             (PROGRAMDATA = <work>\programdata); done when the child has exited and the
//             live log ends with the marker. The rotated backups and the live log together
//             must then hold an unbroken tail of the lines.
//   per-line  the floor for one write per line: the same pipes from start_child, reads of
//             8192 bytes, one WriteFile per line to an append-only file.
//   chunked   the physical limit: the same pipes, 64 KiB reads, each written as it came.
// Prints one line: "capture mode=<m> line=<L> bytes=<n> seconds=<t> cpu=<this process's CPU
// seconds> checked_lines=<k>".

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child/spawn.h"
#include "child/start_child.h"
#include "numbered_lines.h"
#include "win/os_error.h"
#include "win/wide.h"

namespace {

using kestrune::win::UniqueHandle;

constexpr char MARKER[] = "bench-end";
// Append-only writing, as the service opens its log: FILE_GENERIC_WRITE without
// FILE_WRITE_DATA.
constexpr DWORD APPEND_ONLY = 0x120114;
constexpr std::size_t LINE_READ = 8192;
constexpr std::size_t CHUNK_READ = 65536;

[[noreturn]] void give_up(const std::string& why) {
    std::fprintf(stderr, "bench_capture: %s\n", why.c_str());
    std::exit(1);
}

double seconds_since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

std::wstring own_directory() {
    wchar_t path[MAX_PATH];
    const std::wstring exe(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return exe.substr(0, exe.rfind(L'\\'));
}

void write_file(const std::wstring& path, const std::string& text) {
    UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!file ||
        !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        give_up("cannot write " + kestrune::win::narrow_lossy(path));
    }
}

std::optional<std::string> read_file(const std::wstring& path) {
    UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    for (std::size_t at = 0; at < bytes.size();) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1 << 24));
        if (!ReadFile(file.get(), bytes.data() + at, want, &got, nullptr) || got == 0) {
            return std::nullopt;
        }
        at += got;
    }
    return bytes;
}

// Whether the file now ends with `tail`; reads only the last bytes, so polling stays cheap.
bool ends_with(const std::wstring& path, std::string_view tail) {
    UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) ||
        size.QuadPart < static_cast<LONGLONG>(tail.size())) {
        return false;
    }
    LARGE_INTEGER at{};
    at.QuadPart = size.QuadPart - static_cast<LONGLONG>(tail.size());
    std::string got(tail.size(), '\0');
    DWORD n = 0;
    return SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) &&
           ReadFile(file.get(), got.data(), static_cast<DWORD>(got.size()), &n, nullptr) &&
           got == tail;
}

bool write_all(HANDLE file, const char* data, std::size_t size) {
    DWORD written = 0;
    return WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

// Reads until the end of the stream; a broken pipe is the ordinary end.
std::size_t read_some(HANDLE pipe, char* dest, std::size_t capacity) {
    DWORD got = 0;
    return ReadFile(pipe, dest, static_cast<DWORD>(capacity), &got, nullptr) ? got : 0;
}

// The floor: one WriteFile per line, straight from the read buffer when the whole line is in
// it, else from a carried-over copy.
void copy_per_line(HANDLE pipe, HANDLE file) {
    std::vector<char> buffer(LINE_READ);
    std::string carried;
    while (const std::size_t got = read_some(pipe, buffer.data(), buffer.size())) {
        const char* at = buffer.data();
        const char* const end = at + got;
        while (const void* feed = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
            const char* next = static_cast<const char*>(feed) + 1;
            if (carried.empty()) {
                write_all(file, at, static_cast<std::size_t>(next - at));
            } else {
                carried.append(at, next);
                write_all(file, carried.data(), carried.size());
                carried.clear();
            }
            at = next;
        }
        carried.append(at, end);
    }
    if (!carried.empty()) {
        write_all(file, carried.data(), carried.size());
    }
}

void copy_chunks(HANDLE pipe, HANDLE file) {
    std::vector<char> buffer(CHUNK_READ);
    while (const std::size_t got = read_some(pipe, buffer.data(), buffer.size())) {
        write_all(file, buffer.data(), got);
    }
}

struct Paths {
    std::wstring service_exe;
    std::wstring stand_in;
    std::wstring config;
    std::wstring log;
};

double run_service(const Paths& paths) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    auto child = kestrune::child::spawn_sing_box_from(paths.service_exe);
    if (!child) {
        give_up(child.error());
    }
    if (auto waited = child->wait(); !waited) {
        give_up("wait: " + kestrune::win::os_error_text(waited.error()));
    }
    const std::string tail = std::string("\n") + MARKER + "\n";
    while (!ends_with(paths.log, tail)) {
        Sleep(1);
    }
    return seconds_since(start);
}

double run_reference(const Paths& paths, bool per_line) {
    UniqueHandle file(
        CreateFileW(paths.log.c_str(), APPEND_ONLY, 7, nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!file) {
        give_up("cannot open " + kestrune::win::narrow_lossy(paths.log));
    }
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    auto child = kestrune::child::start_child(paths.stand_in, {L"run", L"-c", paths.config});
    if (!child) {
        give_up("start_child: " + kestrune::win::os_error_text(child.error()));
    }
    std::thread drain_stderr([pipe = child->stderr_read.get()] {
        char sink[4096];
        while (read_some(pipe, sink, sizeof(sink)) != 0) {
        }
    });
    if (per_line) {
        copy_per_line(child->stdout_read.get(), file.get());
    } else {
        copy_chunks(child->stdout_read.get(), file.get());
    }
    const double seconds = seconds_since(start);
    drain_stderr.join();
    return seconds;
}

// User plus kernel time of this process so far: the reader's side of the copy (the pumps run
// here), steadier than the wall time on a busy machine.
double cpu_seconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return 0;
    }
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 5) {
        give_up("usage: bench_capture service|per-line|chunked WORK LINE-LENGTH BYTES");
    }
    const std::wstring mode = argv[1];
    const std::wstring work = argv[2];
    const std::size_t line_length = std::wcstoull(argv[3], nullptr, 10);
    const std::uint64_t lines = std::wcstoull(argv[4], nullptr, 10) / line_length;
    if (line_length < 2 || lines == 0 ||
        (mode != L"service" && mode != L"per-line" && mode != L"chunked")) {
        give_up("bad arguments");
    }
    const std::uint64_t bytes = lines * line_length;

    const std::wstring data = work + L"\\programdata\\KestruneConnect";
    CreateDirectoryW(work.c_str(), nullptr);
    CreateDirectoryW((work + L"\\service").c_str(), nullptr);
    CreateDirectoryW((work + L"\\programdata").c_str(), nullptr);
    CreateDirectoryW(data.c_str(), nullptr);
    SetEnvironmentVariableW(L"PROGRAMDATA", (work + L"\\programdata").c_str());
    Paths paths{work + L"\\service\\KestruneConnectSingBox.exe", work + L"\\service\\sing-box.exe",
                data + L"\\config.json",
                mode == L"service" ? data + L"\\sing-box-service.log"
                                   : work + L"\\" + mode + L".log"};
    if (!CopyFileW((own_directory() + L"\\sing_box_stand_in.exe").c_str(), paths.stand_in.c_str(),
                   FALSE)) {
        give_up("cannot copy the stand-in: " +
                kestrune::win::os_error_text(kestrune::win::last_os_error()));
    }
    std::vector<std::wstring> files{paths.log};
    for (int n = 1; n <= 3; ++n) {
        files.push_back(paths.log + L"." + std::to_wstring(n));
    }
    for (const std::wstring& file : files) {
        DeleteFileW(file.c_str());
    }
    write_file(paths.config, "{\"steps\": [{\"lines\": " + std::to_string(line_length) +
                                 ", \"bytes\": " + std::to_string(bytes) + "}, {\"text\": \"" +
                                 MARKER + "\\n\"}]}");

    const double seconds =
        mode == L"service" ? run_service(paths) : run_reference(paths, mode == L"per-line");
    const double cpu = cpu_seconds();

    // Oldest first: backups 3, 2, 1, then the live file.
    std::vector<std::string> contents;
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        if (std::optional<std::string> content = read_file(*file)) {
            contents.push_back(std::move(*content));
        }
    }
    const std::vector<std::string_view> parts(contents.begin(), contents.end());
    const auto checked = kestrune::bench::check_numbered_copy(parts, {line_length, lines, MARKER},
                                                              mode != L"service");
    if (!checked) {
        give_up("the copy is not whole: " + checked.error());
    }
    std::printf("capture mode=%s line=%zu bytes=%llu seconds=%.4f cpu=%.3f checked_lines=%llu\n",
                kestrune::win::narrow_lossy(mode).c_str(), line_length,
                static_cast<unsigned long long>(bytes), seconds, cpu,
                static_cast<unsigned long long>(*checked));
    return 0;
}
