// The real executable as a service of Wine's service control manager: created, started,
// queried and stopped with sc.exe, as an administrator would on Windows.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "win/unique_handle.h"
#include "win_support.h"

namespace kestrune::service {
namespace {

using namespace kestrune::test;

constexpr const wchar_t* NAME = L"KestruneConnectSingBox";

// Wine usually starts services with PROGRAMDATA=C:\users\Public, but the first services of a
// fresh Wine server may get C:\ProgramData, as on Windows. The tests serve both.
const std::wstring DATA_DIRS[] = {L"C:\\users\\Public\\KestruneConnect",
                                  L"C:\\ProgramData\\KestruneConnect"};

DWORD sc(const std::wstring& arguments) {
    return run_process(system_directory() + L"\\sc.exe", arguments, {}, 60000).exit_code;
}

SERVICE_STATUS_PROCESS query() {
    SERVICE_STATUS_PROCESS status{};
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return status;
    }
    SC_HANDLE service = OpenServiceW(manager, NAME, SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        DWORD needed = 0;
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof(status), &needed);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return status;
}

bool reaches(DWORD state, int limit_ms = 30000) {
    return eventually([&] { return query().dwCurrentState == state; }, limit_ms);
}

// A service left behind by an earlier run is stopped and removed.
void remove_service() {
    if (query().dwCurrentState == 0) {
        return;
    }
    sc(std::wstring(L"stop ") + NAME);
    reaches(SERVICE_STOPPED, 10000);
    sc(std::wstring(L"delete ") + NAME);
}

// Only one of the data directories receives the service's log.
std::string log_text() {
    std::string log;
    for (const auto& dir : DATA_DIRS) {
        log += read_file(dir + L"\\sing-box-service.log");
    }
    return log;
}

bool log_has(const std::string& text) {
    return log_text().find(text) != std::string::npos;
}

// Before index of `first` and `second` in the log, both present.
bool in_order(const std::string& log, const std::string& first, const std::string& second) {
    const auto a = log.find(first);
    const auto b = log.find(second, a == std::string::npos ? 0 : a);
    return a != std::string::npos && b != std::string::npos;
}

class ServiceUnderScm : public ::testing::Test {
  protected:
    void SetUp() override {
        wait_for_settled_services();
        service_dir_ = make_temp_dir(L"scm-service");
        exe_ = service_dir_ + L"\\KestruneConnectSingBox.exe";
        ASSERT_TRUE(CopyFileW(service_exe_path().c_str(), exe_.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(stand_in_path().c_str(), sing_box().c_str(), FALSE));
        for (const auto& dir : DATA_DIRS) {
            make_directory_chain(dir);
            for (const wchar_t* suffix : {L"", L".1", L".2", L".3"}) {
                DeleteFileW((dir + L"\\sing-box-service.log" + suffix).c_str());
            }
        }
        remove_service();
        ASSERT_EQ(sc(std::wstring(L"create ") + NAME + L" binPath= \"" + exe_ + L"\""), 0u);
    }

    void TearDown() override { remove_service(); }

    std::wstring sing_box() const { return service_dir_ + L"\\sing-box.exe"; }

    void configure(const std::string& config) {
        for (const auto& dir : DATA_DIRS) {
            write_file(dir + L"\\config.json", config);
        }
    }

    // The stand-in writes its process id into this report when it starts.
    std::wstring report_path() const { return service_dir_ + L"\\report.txt"; }
    std::string report_config(const std::string& rest) const {
        return "{\"report\":" + json(report_path()) + "," + rest + "}";
    }

    // The stand-in's process, opened from the pid in its report.
    win::UniqueHandle open_child() {
        if (!eventually([&] { return file_exists(report_path()); })) {
            return {};
        }
        const std::string report = read_file(report_path());
        const DWORD pid = std::stoul(report.substr(report.find("pid ") + 4));
        return win::UniqueHandle(
            OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    }

    std::wstring service_dir_;
    std::wstring exe_;
};

TEST_F(ServiceUnderScm, RunsSupervisesAndStopsCleanly) {
    configure(report_config(R"("steps":[{"text":"stand-in says hello\n"}],"run_ms":"forever")"));
    ASSERT_EQ(sc(std::wstring(L"start ") + NAME), 0u);
    ASSERT_TRUE(reaches(SERVICE_RUNNING));
    ASSERT_TRUE(eventually([] { return log_has("stand-in says hello\n"); })) << log_text();
    win::UniqueHandle child = open_child();
    ASSERT_TRUE(child.valid());

    ASSERT_EQ(sc(std::wstring(L"stop ") + NAME), 0u);
    ASSERT_TRUE(reaches(SERVICE_STOPPED));
    const SERVICE_STATUS_PROCESS stopped = query();
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
    EXPECT_EQ(WaitForSingleObject(child.get(), 10000), WAIT_OBJECT_0)
        << "the child outlived the stop";
    DWORD code = 0;
    GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(code, 1u);

    const std::string log = log_text();
    EXPECT_TRUE(log.starts_with("Kestrune service wrapper starting\n")) << log;
    const bool enabled = log.find("RDP route protection enabled via ") != std::string::npos;
    const bool unavailable = log.find("RDP route protection unavailable: ") != std::string::npos;
    EXPECT_TRUE(enabled != unavailable) << log;
    if (enabled) {
        EXPECT_TRUE(in_order(log, "stand-in says hello\n", "RDP route protection stopped\n"))
            << log;
    }
    EXPECT_EQ(log.find("sing-box exited unexpectedly: "), std::string::npos) << log;
}

TEST_F(ServiceUnderScm, RestartsAChildThatEndsByItself) {
    configure(R"({"steps":[{"text":"child run\n"}],"run_ms":300,"exit_code":3})");
    ASSERT_EQ(sc(std::wstring(L"start ") + NAME), 0u);
    ASSERT_TRUE(eventually([] { return log_has("sing-box restarted successfully\n"); }))
        << log_text();
    ASSERT_TRUE(eventually([] {
        const std::string log = log_text();
        const auto first = log.find("child run\n");
        return first != std::string::npos &&
               log.find("child run\n", first + 1) != std::string::npos;
    })) << log_text();
    const std::string log = log_text();
    EXPECT_TRUE(in_order(log, "sing-box exited unexpectedly: exit code: 3\n",
                         "restarting sing-box in 1 seconds\nsing-box restarted successfully\n"))
        << log;

    ASSERT_EQ(sc(std::wstring(L"stop ") + NAME), 0u);
    ASSERT_TRUE(reaches(SERVICE_STOPPED));
    EXPECT_EQ(query().dwWin32ExitCode, 0u);
}

TEST_F(ServiceUnderScm, MissingSingBoxStopsTheServiceWithExitCodeOne) {
    ASSERT_TRUE(DeleteFileW(sing_box().c_str()));
    configure("{}");
    sc(std::wstring(L"start ") + NAME);
    ASSERT_TRUE(reaches(SERVICE_STOPPED));
    EXPECT_EQ(query().dwWin32ExitCode, 1u);
    const std::string log = log_text();
    EXPECT_NE(log.find("failed to start sing-box: spawn sing-box: "), std::string::npos) << log;
    if (log.find("RDP route protection enabled via ") != std::string::npos) {
        EXPECT_TRUE(in_order(log, "failed to start sing-box: ", "RDP route protection stopped\n"))
            << log;
    }
}

// The checks run before every restart too: sing-box fails at once while config.json is missing,
// and when a link appears in its place the next start is refused, ending the service as a
// refusal at start does. The configuration behind the link never runs.
TEST_F(ServiceUnderScm, ARestartIsRefusedWhenConfigJsonAppearsAsALink) {
    for (const auto& dir : DATA_DIRS) {
        DeleteFileW((dir + L"\\config.json").c_str());
    }
    const std::wstring planted = service_dir_ + L"\\planted.json";
    write_file(planted, report_config(R"("steps":[{"text":"planted config ran\n"}])"));
    ASSERT_EQ(sc(std::wstring(L"start ") + NAME), 0u);
    ASSERT_TRUE(eventually([] { return log_has("restarting sing-box in 1 seconds\n"); }))
        << log_text();
    std::vector<std::wstring> links;
    for (const auto& dir : DATA_DIRS) {
        const std::wstring link = dir + L"\\config.json";
        links.push_back(link);
        ASSERT_TRUE(run_unix_on_paths(L"Z:\\bin\\ln -s", {planted, link}, [&] {
            return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
        }));
    }
    const bool stopped = reaches(SERVICE_STOPPED);
    const DWORD exit_code = query().dwWin32ExitCode;
    const std::string log = log_text();
    run_unix_on_paths(L"Z:\\bin\\rm -f", links, [&] {
        return GetFileAttributesW(links[0].c_str()) == INVALID_FILE_ATTRIBUTES &&
               GetFileAttributesW(links[1].c_str()) == INVALID_FILE_ATTRIBUTES;
    });
    ASSERT_TRUE(stopped) << log;
    EXPECT_EQ(exit_code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(log.find(" can be changed by non-administrators: "), std::string::npos) << log;
    EXPECT_TRUE(in_order(log, "sing-box exited unexpectedly: exit code: 100\n",
                         "\\config.json (a link); fix from an elevated prompt: cmd /c del \""))
        << log;
    EXPECT_FALSE(file_exists(report_path())) << "sing-box ran with the linked config.json";
    EXPECT_EQ(log.find("planted config ran"), std::string::npos) << log;
    EXPECT_EQ(log.find("sing-box restarted successfully"), std::string::npos) << log;
}

TEST_F(ServiceUnderScm, ChildDoesNotOutliveAKilledService) {
    configure(report_config(R"("run_ms":"forever")"));
    ASSERT_EQ(sc(std::wstring(L"start ") + NAME), 0u);
    ASSERT_TRUE(reaches(SERVICE_RUNNING));
    win::UniqueHandle child = open_child();
    ASSERT_TRUE(child.valid());
    const DWORD service_pid = query().dwProcessId;
    ASSERT_NE(service_pid, 0u);
    win::UniqueHandle service(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, service_pid));
    ASSERT_TRUE(service.valid());
    ASSERT_TRUE(TerminateProcess(service.get(), 9));
    EXPECT_EQ(WaitForSingleObject(child.get(), 10000), WAIT_OBJECT_0)
        << "sing-box kept running after its service was killed";
}

} // namespace
} // namespace kestrune::service

namespace kestrune::service {
namespace {

// Run by route_protection_unavailable.sh inside a network namespace that has no default
// route, with a Wine server of its own started there.
class ServiceWithoutDefaultRoute : public ServiceUnderScm {
  protected:
    void SetUp() override {
        if (GetEnvironmentVariableW(L"KESTRUNE_NO_DEFAULT_ROUTE", nullptr, 0) == 0) {
            GTEST_SKIP() << "needs a network namespace without a default route";
        }
        ServiceUnderScm::SetUp();
    }
};

constexpr const char* WAITING =
    "Kestrune service wrapper starting\n"
    "RDP route protection waiting for a physical IPv4 default route: GetBestRoute failed: ";

// While it waits the service already reports RUNNING (Windows Installer and the service
// control manager hold nothing up for it), accepts a stop, and has started nothing; a stop
// ends it at once without a child and without a claim about protection.
TEST_F(ServiceWithoutDefaultRoute, WaitsForTheRouteAndCanBeStoppedMeanwhile) {
    configure(report_config(R"("steps":[{"text":"proxy started\n"}],"run_ms":"forever")"));
    ASSERT_EQ(sc(std::wstring(L"start ") + NAME), 0u);
    ASSERT_TRUE(eventually([] { return log_has("waiting for a physical IPv4"); })) << log_text();
    ASSERT_TRUE(reaches(SERVICE_RUNNING, 10000)) << query().dwCurrentState;
    Sleep(2000); // two retries of the wait
    const SERVICE_STATUS_PROCESS waiting = query();
    EXPECT_EQ(waiting.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(waiting.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_FALSE(file_exists(report_path())) << "a child was started while waiting";

    ASSERT_EQ(sc(std::wstring(L"stop ") + NAME), 0u);
    ASSERT_TRUE(reaches(SERVICE_STOPPED, 10000));
    EXPECT_EQ(query().dwWin32ExitCode, 0u);
    const std::string log = without_lines_starting(log_text(), "warning: ");
    EXPECT_TRUE(log.starts_with(WAITING)) << log;
    EXPECT_EQ(log.find("RDP route protection unavailable"), std::string::npos) << log;
    EXPECT_EQ(log.find("RDP route protection enabled"), std::string::npos) << log;
    EXPECT_FALSE(file_exists(report_path())) << "a child was started";
    EXPECT_EQ(log.find("proxy started"), std::string::npos) << log;
}

TEST_F(ServiceWithoutDefaultRoute, RunsWithoutRouteProtectionOnceTheWaitIsOver) {
    configure(
        report_config(R"("steps":[{"text":"proxy without protection\n"}],"run_ms":"forever")"));
    ASSERT_EQ(sc(std::wstring(L"start ") + NAME), 0u);
    // Running at once, while the wait goes on and nothing has been started.
    ASSERT_TRUE(reaches(SERVICE_RUNNING, 10000)) << log_text();
    ASSERT_TRUE(eventually([] { return log_has("waiting for a physical IPv4"); })) << log_text();
    EXPECT_FALSE(file_exists(report_path())) << "a child was started while waiting";
    // The wait lasts a minute; the guard only keeps a hang from lasting for ever.
    ASSERT_TRUE(eventually([] { return log_has("proxy without protection\n"); }, 120000))
        << log_text();
    EXPECT_EQ(query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_EQ(sc(std::wstring(L"stop ") + NAME), 0u);
    ASSERT_TRUE(reaches(SERVICE_STOPPED));
    EXPECT_EQ(query().dwWin32ExitCode, 0u);
    const std::string log = without_lines_starting(log_text(), "warning: ");
    EXPECT_TRUE(log.starts_with(WAITING)) << log;
    EXPECT_TRUE(in_order(log, "waiting for a physical IPv4 default route: ",
                         "\nRDP route protection unavailable: GetBestRoute failed: "))
        << log;
    EXPECT_TRUE(in_order(log, "RDP route protection unavailable: ", "proxy without protection"))
        << log;
    // The worker runs all the same, to protect a default route that appears later; none does.
    EXPECT_TRUE(in_order(log, "proxy without protection", "RDP route protection stopped\n")) << log;
    EXPECT_EQ(log.find("RDP route protection enabled"), std::string::npos) << log;
}

} // namespace
} // namespace kestrune::service
