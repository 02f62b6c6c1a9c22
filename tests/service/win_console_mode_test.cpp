// The real executable started the way a user would start it from a console: not under the
// service control manager, so it falls back to console mode. Each run costs Wine's ~10 s
// dispatcher time-out, so the cases run side by side.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "win/unique_handle.h"
#include "win/wide.h"
#include "win_support.h"

namespace kestrune::service {
namespace {

using namespace kestrune::test;

struct ConsoleRun {
    DWORD exit_code = 0;
    std::string standard_error;
    std::string raw_log;
    std::string log; // without the directory warnings
    std::wstring data_directory;
};

struct ConsoleCase {
    std::string name;
    std::string config; // the stand-in's config.json; empty: no sing-box.exe at all
    std::wstring extra_arguments;
    bool weak_data_directory = false;
    // Prepares the data directory; the handle it returns is held open for the whole run.
    std::function<win::UniqueHandle(const std::wstring& data_directory)> prepare = nullptr;
};

// Copies the service beside a stand-in sing-box.exe (unless the case has none), points
// PROGRAMDATA at a fresh data directory through the child's environment block, and runs it.
ConsoleRun run_console(const ConsoleCase& c) {
    const std::wstring service_dir = make_temp_dir(win::widen(c.name) + L"-svc");
    const std::wstring exe = service_dir + L"\\KestruneConnectSingBox.exe";
    EXPECT_TRUE(CopyFileW(service_exe_path().c_str(), exe.c_str(), FALSE));
    if (!c.config.empty()) {
        EXPECT_TRUE(
            CopyFileW(stand_in_path().c_str(), (service_dir + L"\\sing-box.exe").c_str(), FALSE));
    }
    const std::wstring programdata = make_temp_dir(win::widen(c.name) + L"-data");
    make_directory_chain(programdata + L"\\KestruneConnect");
    write_file(programdata + L"\\KestruneConnect\\config.json",
               c.config.empty() ? std::string("{}") : c.config);
    if (c.weak_data_directory) {
        // Everyone may change everything: what a careless administrator might leave behind.
        EXPECT_TRUE(set_directory_sddl(programdata + L"\\KestruneConnect", L"D:(A;OICI;FA;;;WD)"));
    }

    win::UniqueHandle held;
    if (c.prepare) {
        held = c.prepare(programdata + L"\\KestruneConnect");
    }

    ConsoleRun run;
    const ProcessResult result =
        run_process(exe, c.extra_arguments, {{L"PROGRAMDATA", programdata}}, 90000);
    EXPECT_TRUE(result.finished);
    held.reset();
    run.exit_code = result.exit_code;
    run.standard_error = result.standard_error;
    run.data_directory = programdata + L"\\KestruneConnect";
    run.raw_log = read_file(run.data_directory + L"\\sing-box-service.log");
    // Wine lets Everyone read every file, so config.json is always reported as readable; the
    // normal run below checks that line.
    run.log = without_lines_starting(run.raw_log, "warning: ");
    return run;
}

bool starts_with_dispatcher_failure(const std::string& log) {
    const std::string prefix = "StartServiceCtrlDispatcherW failed: ";
    if (log.rfind(prefix, 0) != 0) {
        return false;
    }
    std::size_t i = prefix.size();
    const std::size_t digits_start = i;
    while (i < log.size() && log[i] >= '0' && log[i] <= '9') {
        ++i;
    }
    return i > digits_start && log.compare(i, 1, "\n") == 0;
}

// A Linux symbolic link named like `path` to what stood there, moved aside to `path`-target.
win::UniqueHandle link_in_place(const std::wstring& path) {
    const std::wstring target = path + L"-target";
    EXPECT_TRUE(MoveFileW(path.c_str(), target.c_str()));
    EXPECT_TRUE(run_unix_on_paths(L"Z:\\bin\\ln -s", {target, path}, [&] {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }));
    return {};
}

constexpr std::uint64_t LOG_LIMIT = 10485760;
constexpr std::uint64_t HELD_LOG_HEADROOM = 3000; // the held log is this much under the limit
constexpr int HELD_LOG_LINES = 200;

// The stand-in's numbered line `number` of 60 bytes.
std::string numbered_line(int number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%012d", number);
    std::string line = digits;
    line.resize(59, '.');
    return line + "\n";
}

// A log close to its limit with three backups, held open by this process the way a plain
// fopen or many tail tools hold it: sharing reading and writing but not deletion.
win::UniqueHandle hold_a_nearly_full_log(const std::wstring& data_directory) {
    const std::wstring log = data_directory + L"\\sing-box-service.log";
    for (const char* n : {"1", "2", "3"}) {
        write_file(log + L"." + win::widen(n), std::string("backup ") + n + "\n");
    }
    {
        win::UniqueHandle file(
            CreateFileW(log.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(LOG_LIMIT - HELD_LOG_HEADROOM);
        EXPECT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
        EXPECT_TRUE(SetEndOfFile(file.get()));
    }
    win::UniqueHandle reader(CreateFileW(log.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         0, nullptr));
    EXPECT_TRUE(reader.valid());
    return reader;
}

TEST(ConsoleMode, RunsTheChildOnceAndLogsHowItEnded) {
    wait_for_settled_services();
    const std::vector<ConsoleCase> cases = {
        {"exit0", R"({"steps":[{"text":"hello from the child\n"}],"exit_code":0})", L""},
        {"exit3", R"({"steps":[{"text":"three\n"}],"exit_code":3})", L""},
        {"crash", R"({"exit_code":"0xC0000005"})", L""},
        {"args", R"({"steps":[{"text":"args ignored\n"}],"exit_code":0})",
         L"--console run -c X:\\other.json"},
        {"missing", "", L""},
        {"held-log",
         R"({"steps":[{"lines":60,"bytes":)" + std::to_string(60 * HELD_LOG_LINES) +
             R"(}],"exit_code":0})",
         L"", false, hold_a_nearly_full_log},
        {"linked-data", R"({"exit_code":0})", L"", false,
         [](const std::wstring& data) { return link_in_place(data); }},
        {"weak-data", R"({"exit_code":0})", L"", true},
        {"linked-config", R"({"exit_code":0})", L"", false,
         [](const std::wstring& data) { return link_in_place(data + L"\\config.json"); }},
    };
    std::vector<std::future<ConsoleRun>> runs;
    for (const auto& c : cases) {
        runs.push_back(std::async(std::launch::async, [&c] { return run_console(c); }));
    }
    std::vector<ConsoleRun> results;
    for (auto& r : runs) {
        results.push_back(r.get());
    }

    const std::string console_line = "Kestrune service wrapper running in console mode\n";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        if (cases[i].name.ends_with("-data")) {
            continue; // refused before the first line
        }
        // What this run wrote, after what the case prepared.
        const std::string log = cases[i].name == "held-log"
                                    ? results[i].log.substr(LOG_LIMIT - HELD_LOG_HEADROOM)
                                    : results[i].log;
        EXPECT_TRUE(starts_with_dispatcher_failure(log)) << log.substr(0, 2000);
        EXPECT_NE(log.find(console_line), std::string::npos) << log.substr(0, 2000);
    }

    // Wine's descriptors are owned by this process's user, who is trusted: no "writable"
    // warning, but Everyone may read config.json.
    const auto& exit0 = results[0];
    EXPECT_NE(exit0.raw_log.find(console_line + "warning: config.json is readable by " +
                                 "non-administrators: " + win::narrow_lossy(exit0.data_directory) +
                                 "\\config.json\n"),
              std::string::npos)
        << exit0.raw_log;
    EXPECT_EQ(exit0.raw_log.find("writable"), std::string::npos) << exit0.raw_log;
    EXPECT_EQ(exit0.exit_code, 0u);
    EXPECT_EQ(exit0.standard_error, "");
    EXPECT_TRUE(exit0.log.ends_with(console_line + "hello from the child\n" +
                                    "sing-box console exit: exit code: 0\n"))
        << exit0.log;

    const auto& exit3 = results[1];
    EXPECT_EQ(exit3.exit_code, 0u) << "the child's code never becomes the process's";
    EXPECT_TRUE(exit3.log.ends_with("three\nsing-box console exit: exit code: 3\n")) << exit3.log;

    const auto& crash = results[2];
    EXPECT_EQ(crash.exit_code, 0u);
    EXPECT_TRUE(crash.log.ends_with("sing-box console exit: exit code: 0xc0000005\n")) << crash.log;

    const auto& args = results[3];
    EXPECT_EQ(args.exit_code, 0u);
    EXPECT_TRUE(args.log.ends_with(console_line + "args ignored\n" +
                                   "sing-box console exit: exit code: 0\n"))
        << args.log;

    const auto& missing = results[4];
    EXPECT_EQ(missing.exit_code, 1u);
    EXPECT_TRUE(missing.standard_error.starts_with("spawn sing-box: ")) << missing.standard_error;
    EXPECT_TRUE(missing.standard_error.ends_with("(os error 2)\n")) << missing.standard_error;
    EXPECT_EQ(missing.log.find("sing-box console exit: "), std::string::npos) << missing.log;
    EXPECT_TRUE(missing.log.ends_with(console_line)) << missing.log;

    // A refused data directory: the line only on standard error, nothing written into it (nor
    // through the link into its target).
    const std::string changed = " can be changed by non-administrators: ";
    for (const std::size_t i : {6u, 7u}) {
        SCOPED_TRACE(cases[i].name);
        const auto& refused = results[i];
        EXPECT_EQ(refused.exit_code, 1u);
        const std::string path = win::narrow_lossy(refused.data_directory);
        const std::string quoted = "\"" + path + "\"";
        EXPECT_EQ(refused.standard_error,
                  "refusing to start sing-box: data directory" + changed + path +
                      (i == 6
                           ? " (a link); fix from an elevated prompt: cmd /c rmdir " + quoted + "\n"
                           : " (Everyone may create files); fix from an elevated PowerShell, or in "
                             "Command Prompt one command at a time: icacls " +
                                 quoted + " /setowner *S-1-5-32-544 /T /C ; icacls " + quoted +
                                 " /inheritance:r /grant:r \"*S-1-5-18:(OI)(CI)F\" "
                                 "\"*S-1-5-32-544:(OI)(CI)F\" ; icacls \"" +
                                 path + "\\*\" /reset /T /C\n"));
        const std::wstring real = refused.data_directory + (i == 6 ? L"-target" : L"");
        EXPECT_FALSE(file_exists(real + L"\\sing-box-service.log"));
        EXPECT_EQ(read_file(real + L"\\config.json"), cases[i].config);
    }
    const auto& linked_config = results[8];
    const std::string config_refusal =
        "refusing to start sing-box: config.json" + changed +
        win::narrow_lossy(linked_config.data_directory) +
        "\\config.json (a link); fix from an elevated prompt: cmd /c del \"" +
        win::narrow_lossy(linked_config.data_directory) + "\\config.json\"";
    EXPECT_EQ(linked_config.exit_code, 1u);
    EXPECT_EQ(linked_config.standard_error, config_refusal + "\n");
    EXPECT_TRUE(linked_config.log.ends_with(console_line + config_refusal + "\n"))
        << linked_config.log;

    // The log passed its limit while a reader held it: no backup is touched, and every line
    // went on into the live file.
    const auto& held = results[5];
    EXPECT_EQ(held.exit_code, 0u);
    for (const char* n : {"1", "2", "3"}) {
        EXPECT_EQ(read_file(held.data_directory + L"\\sing-box-service.log." + win::widen(n)),
                  std::string("backup ") + n + "\n");
    }
    ASSERT_GT(held.raw_log.size(), LOG_LIMIT);
    EXPECT_EQ(held.raw_log.find_first_not_of('\0'), LOG_LIMIT - HELD_LOG_HEADROOM);
    std::string child_lines;
    for (int i = 0; i < HELD_LOG_LINES; ++i) {
        child_lines += numbered_line(i);
    }
    EXPECT_TRUE(
        held.log.ends_with(console_line + child_lines + "sing-box console exit: exit code: 0\n"))
        << held.log.substr(held.log.size() - std::min<std::size_t>(held.log.size(), 2000));
}

} // namespace
} // namespace kestrune::service
