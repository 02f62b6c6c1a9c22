// Children end with the service process even when it is killed: the launcher below starts a
// child through the service's process creation and is then terminated from outside. This
// test process itself never creates a child through that code, so it is in no job of ours.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "child/command_line.h"
#include "win_test_support.h"

namespace kestrune::child {
namespace {

using namespace test;

TEST(Job, ChildEndsWhenTheServiceProcessIsKilled) {
    const std::wstring config = make_temp_dir(L"job") + L"\\config.json";
    write_file(config, R"({"run_ms": "forever"})");
    const std::wstring launcher = exe_directory() + L"\\child_job_launcher.exe";
    std::wstring command_line = build_command_line<wchar_t>(launcher, {stand_in_path(), config});

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(launcher.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                               CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info));
    CloseHandle(write_end);
    CloseHandle(info.hThread);

    std::string printed;
    char c = 0;
    DWORD got = 0;
    while (ReadFile(read_end, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
        printed.push_back(c);
    }
    CloseHandle(read_end);
    const DWORD child_id = static_cast<DWORD>(std::strtoul(printed.c_str(), nullptr, 10));
    ASSERT_NE(child_id, 0u) << "launcher printed: " << printed;
    HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, child_id);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(WaitForSingleObject(child, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(TerminateProcess(info.hProcess, 9));
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);

    const DWORD waited = WaitForSingleObject(child, 30000);
    EXPECT_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0)) << "the child outlived the launcher";
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(child, 1);
    }
    CloseHandle(child);
}

} // namespace
} // namespace kestrune::child
