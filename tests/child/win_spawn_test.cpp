#include "child/spawn.h"

#include <gtest/gtest.h>

#include "child/launch.h"
#include "child/process_lock.h"
#include "win/os_error.h"
#include "win/wide.h"
#include "win_test_support.h"

namespace kestrune::child {
namespace {

using namespace test;
using SpawnSingBox = ChildTest;

// A config that makes the stand-in report its arguments and standard input into `report`.
std::string report_config(const std::wstring& report, int exit_code = 0) {
    return "{\"report\": " + json(report) + ", \"exit_code\": " + std::to_string(exit_code) + "}";
}

std::string expected_report(const std::vector<std::wstring>& argv) {
    std::string out = "argc " + std::to_string(argv.size()) + "\n";
    for (std::size_t i = 0; i < argv.size(); ++i) {
        out += "arg " + std::to_string(i) + " " + win::narrow_lossy(argv[i]) + "\n";
    }
    return out + "stdin 0\n";
}

// The report without its first line (the pid, which differs each run).
std::string report_after_pid(const std::wstring& path) {
    const std::string report = read_file(path);
    return report.substr(report.find('\n') + 1);
}

TEST_F(SpawnSingBox, MissingExecutableGivesFileNotFoundAndLeavesNothingBehind) {
    const std::wstring service_exe = make_service_dir(L"svc", false);
    // The first launch of the process also creates the job handle that lives as long as the
    // process; counting starts after it.
    ASSERT_FALSE(spawn_sing_box_from(service_exe).ok());

    const std::size_t handles = handle_count();
    const DWORD threads = thread_count();
    ASSERT_GT(handles, 0u);
    ASSERT_GT(threads, 0u);
    auto child = spawn_sing_box_from(service_exe);
    ASSERT_FALSE(child.ok());
    EXPECT_EQ(child.error(), "spawn sing-box: " + win::os_error_text(2));
    EXPECT_NE(child.error().find("(os error 2)"), std::string::npos) << child.error();
    EXPECT_EQ(handle_count(), handles);
    EXPECT_EQ(thread_count(), threads);
}

TEST_F(SpawnSingBox, ServiceExeWithoutParentDirectoryIsRefused) {
    auto child = spawn_sing_box_from(L"C:\\");
    ASSERT_FALSE(child.ok());
    EXPECT_EQ(child.error(), "service exe has no parent directory");
}

// The child gets exactly "run", "-c" and the config path in the data directory (not a
// config.json beside the executable), quoted when the path has a space, and reads end of input
// at once from the null device.
TEST_F(SpawnSingBox, PassesRunDashCAndTheDataDirectoryConfig) {
    for (const wchar_t* data_name : {L"data", L"program data"}) {
        SCOPED_TRACE(win::narrow_lossy(data_name));
        const std::wstring service_exe = make_service_dir(L"svc", true);
        const std::wstring service_dir = service_exe.substr(0, service_exe.rfind(L'\\'));
        const std::wstring report = service_dir + L"\\report.txt";
        write_file(service_dir + L"\\config.json", report_config(service_dir + L"\\wrong.txt", 42));
        const std::wstring config =
            set_programdata_with_config(make_temp_dir(data_name), report_config(report));

        auto child = spawn_sing_box_from(service_exe);
        ASSERT_TRUE(child.ok()) << child.error();
        auto status = child->wait();
        ASSERT_TRUE(status.ok());
        EXPECT_EQ(status->code, 0u);
        EXPECT_EQ(report_after_pid(report),
                  expected_report({service_dir + L"\\sing-box.exe", L"run", L"-c", config}));
        EXPECT_FALSE(file_exists(service_dir + L"\\wrong.txt"));
    }
}

// With "PROGRAMDATA" empty the config path is relative and the child finds it from the
// current directory it inherited.
TEST_F(SpawnSingBox, EmptyProgramDataGivesARelativeConfigPath) {
    const std::wstring service_exe = make_service_dir(L"svc", true);
    const std::wstring work = make_temp_dir(L"cwd");
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(work.c_str()));
    const std::wstring report = work + L"\\report.txt";
    set_programdata_with_config(L"", report_config(report));

    auto child = spawn_sing_box_from(service_exe);
    SetCurrentDirectoryW(previous);
    ASSERT_TRUE(child.ok()) << child.error();
    ASSERT_TRUE(child->wait().ok());
    const std::string received = report_after_pid(report);
    EXPECT_NE(received.find("arg 3 KestruneConnect\\config.json\n"), std::string::npos) << received;
}

// The real entry finds sing-box.exe beside the running executable.
TEST_F(SpawnSingBox, RealEntryStartsSingBoxBesideTheRunningExe) {
    const std::wstring sing_box = exe_directory() + L"\\sing-box.exe";
    ASSERT_TRUE(CopyFileW(stand_in_path().c_str(), sing_box.c_str(), FALSE));
    const std::wstring report = make_temp_dir(L"real") + L"\\report.txt";
    const std::wstring config =
        set_programdata_with_config(make_temp_dir(L"data"), report_config(report, 5));

    auto child = spawn_sing_box();
    ASSERT_TRUE(child.ok()) << child.error();
    auto status = child->wait();
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(status->text(), "exit code: 5");
    EXPECT_EQ(report_after_pid(report), expected_report({sing_box, L"run", L"-c", config}));
    DeleteFileW(sing_box.c_str());
}

// A handle the service made inheritable for its own reasons (in console mode, the standard
// handles its caller gave it) stays out of the child: once the service closes its copy of a
// pipe's write end, the reader sees the end of the pipe while the child still runs.
TEST_F(SpawnSingBox, ChildInheritsOnlyItsStandardHandles) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    win::UniqueHandle read_end, write_end;
    ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), &inherit, 0));
    auto child = spawn_stand_in(R"({"run_ms": "forever"})");
    ASSERT_TRUE(child.ok()) << child.error();
    write_end.reset();

    const auto pipe_ended = [&] {
        DWORD available = 0;
        return !PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) &&
               GetLastError() == ERROR_BROKEN_PIPE;
    };
    EXPECT_TRUE(eventually(pipe_ended, 10000)) << "the child holds the write end";
    auto still_running = child->try_wait();
    ASSERT_TRUE(still_running.ok());
    EXPECT_FALSE(still_running->has_value());
    ASSERT_TRUE(child->kill().ok());
    ASSERT_TRUE(child->wait().ok());
}

// Arguments that need quoting and escaping reach a real child exactly as given.
TEST(Launch, AwkwardArgumentsArriveUnchanged) {
    const std::wstring dir = make_temp_dir(L"args");
    const std::wstring report = dir + L"\\report.txt";
    const std::wstring config = dir + L"\\stand-in.json";
    write_file(config, report_config(report));
    SetEnvironmentVariableW(L"KESTRUNE_STAND_IN_CONFIG", config.c_str());
    const std::vector<std::wstring> args = {L"say \"hi\"",
                                            L"trailing\\",
                                            L"with space\\",
                                            L"two\\\\",
                                            L"tab\there",
                                            L"",
                                            L"\"",
                                            L"a\\\\\"b",
                                            L"\\\\server\\share\\",
                                            L"\x00fcnic\x00f6de",
                                            L"  ",
                                            L"end"};

    Result<LaunchedProcess, OsError> launched = fail(OsError{0});
    {
        std::lock_guard lock(process_creation_lock());
        auto input = open_null_device(GENERIC_READ);
        auto output = open_null_device(GENERIC_WRITE);
        ASSERT_TRUE(input.ok() && output.ok());
        launched =
            create_process(stand_in_path(), args, input->get(), output->get(), output->get());
    }
    SetEnvironmentVariableW(L"KESTRUNE_STAND_IN_CONFIG", nullptr);
    ASSERT_TRUE(launched.ok()) << win::os_error_text(launched.error());
    ASSERT_EQ(WaitForSingleObject(launched->process.get(), 30000), WAIT_OBJECT_0);

    std::vector<std::wstring> argv = {stand_in_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(report_after_pid(report), expected_report(argv));
}

} // namespace
} // namespace kestrune::child
