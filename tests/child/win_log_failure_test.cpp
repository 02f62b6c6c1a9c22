// A start whose log cannot be opened leaves no child behind. Its own executable: here the
// shared log must never have been opened before.

#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include "child/spawn.h"
#include "win_test_support.h"

namespace kestrune::child {
namespace {

using namespace test;

// Processes named sing-box.exe that this process started and that still exist.
int running_sing_box_children() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == GetCurrentProcessId() &&
            _wcsicmp(entry.szExeFile, L"sing-box.exe") == 0) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

TEST(SpawnSingBox, LogThatCannotBeOpenedEndsTheStartedChild) {
    const std::wstring programdata = make_temp_dir(L"data");
    set_programdata_with_config(programdata, R"({"run_ms": "forever"})");
    // A directory where the log file should be: the directory chain exists, the open fails.
    make_directory_chain(programdata + L"\\KestruneConnect\\sing-box-service.log");

    auto child = spawn_sing_box_from(make_service_dir(L"svc", true));
    ASSERT_FALSE(child.ok());
    EXPECT_EQ(child.error().rfind("open rotating log: ", 0), 0u) << child.error();
    EXPECT_NE(child.error().find("(os error "), std::string::npos) << child.error();
    EXPECT_EQ(running_sing_box_children(), 0);
}

} // namespace
} // namespace kestrune::child
