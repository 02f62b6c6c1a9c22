#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "routes/commands/route_runner.h"
#include "win/os_error.h"
#include "win/unique_handle.h"
#include "win/wide.h"
#include "win_support.h"

namespace kestrune::routes {
namespace {

const PhysicalRoute PHYSICAL{{192, 168, 1, 1}, 12};
const Ipv4Address PEER{198, 51, 100, 20};

std::wstring directory_of_this_exe() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
    const std::wstring full(path, length);
    return full.substr(0, full.find_last_of(L"\\/"));
}

std::string read_file(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::wstring& path, const std::string& text) {
    std::ofstream(std::filesystem::path(path), std::ios::binary | std::ios::trunc) << text;
}

// A fresh WINDIR with the stand-in as System32\route.exe; WINDIR is set from inside the
// process because Wine replaces it from the Linux environment at start.
class RouteRunner : public testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
        windir_ = std::wstring(temp) + L"kestrune-routes-" +
                  std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter_);
        system32_ = windir_ + L"\\System32";
        ASSERT_TRUE(CreateDirectoryW(windir_.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(system32_.c_str(), nullptr));
        const std::wstring stand_in = directory_of_this_exe() + L"\\route_stand_in.exe";
        ASSERT_TRUE(CopyFileW(stand_in.c_str(), (system32_ + L"\\route.exe").c_str(), TRUE))
            << "route_stand_in.exe must lie beside the test";
        wchar_t saved[MAX_PATH + 1] = {};
        had_windir_ = GetEnvironmentVariableW(L"WINDIR", saved, MAX_PATH + 1) != 0;
        saved_windir_ = saved;
        ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", windir_.c_str()));
    }

    void TearDown() override {
        SetEnvironmentVariableW(L"WINDIR", had_windir_ ? saved_windir_.c_str() : nullptr);
        for (const wchar_t* name :
             {L"route.exe", L"route-record.txt", L"route-exit-code.txt", L"route-std-handles.txt",
              L"route-hold.txt", L"route-pid.txt"}) {
            DeleteFileW((system32_ + L"\\" + name).c_str());
        }
        RemoveDirectoryW(system32_.c_str());
        RemoveDirectoryW(windir_.c_str());
    }

    std::string record() const { return read_file(system32_ + L"\\route-record.txt"); }
    void exit_with(const std::string& code) const {
        write_file(system32_ + L"\\route-exit-code.txt", code);
    }
    std::string quoted_route_exe() const {
        return "\"" + win::narrow_lossy(system32_) + "\\route.exe\"";
    }

    std::wstring windir_;
    std::wstring system32_;
    bool had_windir_ = false;
    std::wstring saved_windir_;
    static inline int counter_ = 0;
};

TEST_F(RouteRunner, RunsRouteExeUnderWindirWithTheNineArguments) {
    const Status added = run_route_command("ADD", PEER, PHYSICAL);
    ASSERT_TRUE(added) << added.error();
    const Status removed = run_route_command("DELETE", PEER, PHYSICAL);
    ASSERT_TRUE(removed) << removed.error();
    const std::string tail = " 198.51.100.20 MASK 255.255.255.255 192.168.1.1 METRIC 1 IF 12\n";
    EXPECT_EQ(record(), quoted_route_exe() + " ADD" + tail + quoted_route_exe() + " DELETE" + tail);
}

TEST_F(RouteRunner, StandardHandlesAreTheNullDevice) {
    const Status added = run_route_command("ADD", PEER, PHYSICAL);
    ASSERT_TRUE(added) << added.error();
    // The stand-in notes GetFileType of its three standard handles; the test's own are pipes
    // or files under CTest, so an inherited one would show up as 3 or 1.
    EXPECT_EQ(read_file(system32_ + L"\\route-std-handles.txt"), "2 2 2\n");
}

// A handle the service made inheritable for its own use (a pipe write end, say) is not held by
// a running route.exe: once the service closes it, the pipe's reader sees its end.
TEST_F(RouteRunner, RouteExeInheritsOnlyItsStandardHandles) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
    const std::wstring hold = system32_ + L"\\route-hold.txt";
    write_file(hold, "");
    Status added = fail("not run");
    std::thread runner([&] { added = run_route_command("ADD", PEER, PHYSICAL); });

    const auto started = [&] { return !read_file(system32_ + L"\\route-std-handles.txt").empty(); };
    const bool running = test::eventually(started, 30000);
    CloseHandle(write_end);
    const bool ended = test::eventually(
        [&] {
            DWORD available = 0;
            return !PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) &&
                   GetLastError() == ERROR_BROKEN_PIPE;
        },
        10000);
    DeleteFileW(hold.c_str());
    runner.join();
    CloseHandle(read_end);
    EXPECT_TRUE(running) << "route.exe never started";
    EXPECT_TRUE(ended) << "route.exe holds the write end";
    EXPECT_TRUE(added) << added.error();
}

// A route.exe that never ends is terminated once the bound has passed, and the run fails.
TEST_F(RouteRunner, AHungRouteExeIsTerminatedAfterTheBound) {
    write_file(system32_ + L"\\route-hold.txt", "");
    // Long enough for the stand-in to start and note its pid on a loaded machine.
    const Status added = run_route_command("ADD", PEER, PHYSICAL, std::chrono::milliseconds(2500));
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error(),
              "route.exe ADD 198.51.100.20: route.exe did not finish within 2500 milliseconds");
    const std::string pid = read_file(system32_ + L"\\route-pid.txt");
    ASSERT_FALSE(pid.empty()) << "route.exe was ended before it noted its pid";
    win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, std::stoul(pid)));
    EXPECT_TRUE(!process.valid() || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0)
        << "route.exe still runs";
}

TEST_F(RouteRunner, NonzeroExitCodesAreReported) {
    struct Case {
        const char* written;
        const char* expected;
    };
    const Case cases[] = {
        {"1", "route.exe ADD 198.51.100.20 exited with exit code: 1"},
        {"0xC0000005", "route.exe ADD 198.51.100.20 exited with exit code: 0xc0000005"},
        {"2147483647", "route.exe ADD 198.51.100.20 exited with exit code: 2147483647"},
    };
    for (const Case& c : cases) {
        exit_with(c.written);
        const Status added = run_route_command("ADD", PEER, PHYSICAL);
        ASSERT_FALSE(added) << c.written;
        EXPECT_EQ(added.error(), c.expected);
    }
}

TEST_F(RouteRunner, WithoutWindirTheDefaultSystemDirectoryIsUsed) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", nullptr));
    // The prefix has no C:\Windows\System32\route.exe (Wine ships none), so the start fails
    // with "file not found"; the stand-in under the old WINDIR is not run.
    ASSERT_EQ(GetFileAttributesW(L"C:\\Windows\\System32\\route.exe"), INVALID_FILE_ATTRIBUTES)
        << "this prefix has a route.exe; the test relies on its absence";
    const Status added = run_route_command("DELETE", PEER, PHYSICAL);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error(),
              "route.exe DELETE 198.51.100.20: " + win::os_error_text(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(record(), "");
}

} // namespace
} // namespace kestrune::routes
