// sing-box stand-in: a real Windows program that behaves as its config file says, so tests can
// run the service against a child whose output, run time and exit code are known.
//
// Started as `sing-box.exe run -c <config.json>`. When the arguments hold no "-c <path>", the
// config path is taken from the environment variable KESTRUNE_STAND_IN_CONFIG instead (for
// tests that pass other arguments). A missing or unreadable config is reported on stderr and
// ends the program with exit code 100.
//
// Config (JSON, every key optional):
//   "report":    path of a file that receives, before anything else happens, the arguments
//                and what standard input held (format below). Written to "<path>.tmp" and
//                renamed, so a reader never sees it half written.
//   "read_stdin": false to leave standard input alone (default: read to its end when
//                "report" is given).
//   "steps":     list of steps, done in order; each is one of
//       {"text": "a\nb\n"}                         JSON escapes; \u00XX gives UTF-8, not a byte
//       {"hex": "ff fe 0a"}                        raw bytes (such as invalid UTF-8)
//       {"pattern": "ab", "bytes": 20000}          the pattern repeated to exactly N bytes
//     with, for any of these three:
//       "stream": "stdout" (default) or "stderr"
//       "chunk": bytes per WriteFile call (default: all in one call)
//       "times": how often to write it, a number or "forever" (default 1)
//       "sleep_ms": pause after each time (default 0)
//     or
//       {"lines": 80, "bytes": 67108864}           N bytes as numbered lines of L bytes each
//                                                  (2 <= L), made while writing, for throughput
//                                                  runs: line i is i in decimal, zero-padded to
//                                                  min(L - 1, 12) digits, then '.' up to L - 1
//                                                  bytes, then "\n"; a last partial line is cut
//                                                  short. Takes "stream" and "chunk" (default
//                                                  65536) as above.
//     or
//       {"sleep_ms": 200}                          a pause
//       {"wait_for_file": "C:\\tmp\\go"}           wait until the file exists (polls 10 ms)
//   "run_ms":    after the steps, keep running this long: milliseconds or "forever" (default 0)
//   "exit_code": the code to end with: 0..4294967295 or a hex string such as "0xC0000005"
//                (default 0)
//
// Report format, UTF-8, one item per line ending in "\n":
//   pid <process id>
//   argc <N>
//   arg <i> <argument i exactly as CommandLineToArgvW split it>     (i = 0 .. N-1)
//   stdin <number of bytes read before end of input>   (only when stdin was read)
//
// Write failures (a closed pipe) are ignored: the program goes on as configured.

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mini_json.h"
#include "win/wide.h"

namespace {

using kestrune::test_helpers::JsonReader;
using kestrune::test_helpers::JsonValue;

[[noreturn]] void give_up(const std::string& why) {
    const std::string text = "sing-box stand-in: " + why + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
    ExitProcess(100);
}

std::vector<std::wstring> arguments() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> args;
    for (int i = 0; argv != nullptr && i < count; ++i) {
        args.emplace_back(argv[i]);
    }
    LocalFree(argv);
    return args;
}

std::wstring config_path(const std::vector<std::wstring>& args) {
    for (std::size_t i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == L"-c") {
            return args[i + 1];
        }
    }
    wchar_t buffer[4096];
    const DWORD n = GetEnvironmentVariableW(L"KESTRUNE_STAND_IN_CONFIG", buffer, 4096);
    if (n == 0 || n >= 4096) {
        give_up("no -c argument and no KESTRUNE_STAND_IN_CONFIG");
    }
    return std::wstring(buffer, n);
}

JsonValue read_config(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in) {
        give_up("cannot read config " + kestrune::win::narrow_lossy(path));
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    std::optional<JsonValue> config = JsonReader(text.str()).read(error);
    if (!config || config->object() == nullptr) {
        give_up("config is not a JSON object: " + error);
    }
    return *config;
}

std::string text_of(const JsonValue* value, const char* what) {
    if (value == nullptr || value->string() == nullptr) {
        give_up(std::string(what) + " must be a string");
    }
    return *value->string();
}

std::wstring path_of(const JsonValue* value, const char* what) {
    return kestrune::win::widen(text_of(value, what));
}

// A count, or -1 for "forever".
std::int64_t count_of(const JsonValue* value, std::int64_t fallback, const char* what) {
    if (value == nullptr) {
        return fallback;
    }
    if (value->integer() != nullptr && *value->integer() >= 0) {
        return *value->integer();
    }
    if (value->string() != nullptr && *value->string() == "forever") {
        return -1;
    }
    give_up(std::string(what) + " must be a non-negative number or \"forever\"");
}

std::string bytes_from_hex(const std::string& hex) {
    std::string out;
    int nibbles = 0;
    unsigned byte = 0;
    for (const char c : hex) {
        unsigned v = 0;
        if (c >= '0' && c <= '9') {
            v = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            v = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            v = static_cast<unsigned>(c - 'A' + 10);
        } else {
            continue;
        }
        byte = (byte << 4) | v;
        if (++nibbles == 2) {
            out.push_back(static_cast<char>(byte));
            nibbles = 0;
            byte = 0;
        }
    }
    return out;
}

void sleep_for(std::int64_t ms) {
    if (ms < 0) {
        for (;;) {
            Sleep(INFINITE);
        }
    }
    if (ms > 0) {
        Sleep(static_cast<DWORD>(ms));
    }
}

void write_report(const std::wstring& path, const std::vector<std::wstring>& args,
                  bool read_stdin) {
    std::string report = "pid " + std::to_string(GetCurrentProcessId()) + "\n";
    report += "argc " + std::to_string(args.size()) + "\n";
    for (std::size_t i = 0; i < args.size(); ++i) {
        report += "arg " + std::to_string(i) + " " + kestrune::win::narrow_lossy(args[i]) + "\n";
    }
    if (read_stdin) {
        std::uint64_t total = 0;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &got, nullptr) &&
               got > 0) {
            total += got;
        }
        report += "stdin " + std::to_string(total) + "\n";
    }
    const std::wstring temporary = path + L".tmp";
    {
        std::ofstream out(temporary.c_str(), std::ios::binary | std::ios::trunc);
        out << report;
        if (!out.flush()) {
            give_up("cannot write report " + kestrune::win::narrow_lossy(temporary));
        }
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        give_up("cannot rename report to " + kestrune::win::narrow_lossy(path));
    }
}

void write_step(const JsonValue& step) {
    std::string data;
    if (const JsonValue* text = step.member("text")) {
        data = text_of(text, "text");
    } else if (const JsonValue* hex = step.member("hex")) {
        data = bytes_from_hex(text_of(hex, "hex"));
    } else {
        const std::string pattern = text_of(step.member("pattern"), "pattern");
        const std::int64_t size = count_of(step.member("bytes"), 0, "bytes");
        if (pattern.empty() || size < 0) {
            give_up("pattern must be non-empty and bytes a number");
        }
        while (data.size() < static_cast<std::size_t>(size)) {
            data += pattern;
        }
        data.resize(static_cast<std::size_t>(size));
    }
    const JsonValue* stream_name = step.member("stream");
    const bool to_stderr = stream_name != nullptr && text_of(stream_name, "stream") == "stderr";
    const HANDLE stream = GetStdHandle(to_stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    std::int64_t chunk = count_of(step.member("chunk"), 0, "chunk");
    if (chunk <= 0) {
        chunk = static_cast<std::int64_t>(data.size());
    }
    const std::int64_t times = count_of(step.member("times"), 1, "times");
    const std::int64_t pause = count_of(step.member("sleep_ms"), 0, "sleep_ms");
    for (std::int64_t done = 0; times < 0 || done < times; ++done) {
        for (std::size_t at = 0; at < data.size(); at += static_cast<std::size_t>(chunk)) {
            const std::size_t n = std::min(data.size() - at, static_cast<std::size_t>(chunk));
            DWORD written = 0;
            WriteFile(stream, data.data() + at, static_cast<DWORD>(n), &written, nullptr);
        }
        sleep_for(pause);
    }
}

// Numbered lines, made one chunk at a time so that a large run needs no large buffer and the
// child spends its time writing. The counter is kept as decimal text and incremented in place.
void write_numbered_lines(const JsonValue& step) {
    const std::int64_t length = count_of(step.member("lines"), 0, "lines");
    const std::int64_t total = count_of(step.member("bytes"), 0, "bytes");
    std::int64_t chunk = count_of(step.member("chunk"), 65536, "chunk");
    if (length < 2 || total < 0 || chunk <= 0) {
        give_up("lines must be at least 2, bytes and chunk positive numbers");
    }
    const JsonValue* stream_name = step.member("stream");
    const bool to_stderr = stream_name != nullptr && text_of(stream_name, "stream") == "stderr";
    const HANDLE stream = GetStdHandle(to_stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    const std::size_t line_length = static_cast<std::size_t>(length);
    const std::size_t digits = std::min<std::size_t>(line_length - 1, 12);
    std::string line(line_length, '.');
    std::fill_n(line.begin(), digits, '0');
    line.back() = '\n';
    std::string buffer;
    buffer.reserve(static_cast<std::size_t>(chunk) + line_length);
    auto flush = [&](std::size_t n) {
        DWORD written = 0;
        WriteFile(stream, buffer.data(), static_cast<DWORD>(n), &written, nullptr);
        buffer.erase(0, n);
    };
    for (std::int64_t left = total; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, length));
        buffer.append(line, 0, n);
        left -= static_cast<std::int64_t>(n);
        for (std::size_t d = digits; d-- > 0;) {
            if (line[d] != '9') {
                ++line[d];
                break;
            }
            line[d] = '0';
        }
        while (buffer.size() >= static_cast<std::size_t>(chunk)) {
            flush(static_cast<std::size_t>(chunk));
        }
    }
    if (!buffer.empty()) {
        flush(buffer.size());
    }
}

void run_step(const JsonValue& step) {
    if (step.object() == nullptr) {
        give_up("each step must be an object");
    }
    if (const JsonValue* file = step.member("wait_for_file")) {
        const std::wstring path = path_of(file, "wait_for_file");
        while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            Sleep(10);
        }
        return;
    }
    if (step.member("lines")) {
        write_numbered_lines(step);
        return;
    }
    if (step.member("text") || step.member("hex") || step.member("pattern")) {
        write_step(step);
        return;
    }
    sleep_for(count_of(step.member("sleep_ms"), 0, "sleep_ms"));
}

std::uint32_t exit_code_of(const JsonValue* value) {
    if (value == nullptr) {
        return 0;
    }
    if (value->integer() != nullptr && *value->integer() >= 0 &&
        *value->integer() <= 0xFFFFFFFFll) {
        return static_cast<std::uint32_t>(*value->integer());
    }
    const std::string text = text_of(value, "exit_code");
    if (text.size() < 3 || text.size() > 10 || text.compare(0, 2, "0x") != 0) {
        give_up("exit_code must be a number or a hex string");
    }
    return static_cast<std::uint32_t>(std::stoul(text.substr(2), nullptr, 16));
}

} // namespace

int main() {
    const std::vector<std::wstring> args = arguments();
    const JsonValue config = read_config(config_path(args));
    if (const JsonValue* report = config.member("report")) {
        const JsonValue* read_stdin = config.member("read_stdin");
        write_report(path_of(report, "report"), args,
                     read_stdin == nullptr || read_stdin->boolean() == nullptr ||
                         *read_stdin->boolean());
    }
    if (const JsonValue* steps = config.member("steps")) {
        if (steps->array() == nullptr) {
            give_up("steps must be a list");
        }
        for (const JsonValue& step : *steps->array()) {
            run_step(step);
        }
    }
    sleep_for(count_of(config.member("run_ms"), 0, "run_ms"));
    ExitProcess(exit_code_of(config.member("exit_code")));
}
