// The Windows shell against real things: the status sink seam, the registered handler, the
// process-wide slot and a real sing-box stand-in copied beside this test as sing-box.exe.
// The tests share the process-wide stop request, child slot and log, so they run in the order
// written: the first one needs the slot not to exist yet.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child/spawn.h"
#include "logging/log_sink.h"
#include "service/control_handler.h"
#include "service/current_child.h"
#include "service/status.h"
#include "service/stop_signal.h"
#include "service/supervise.h"

namespace kestrune::service {
namespace {

std::wstring bin_directory() {
    wchar_t path[MAX_PATH];
    const std::wstring exe(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return exe.substr(0, exe.rfind(L'\\'));
}

// Where config.json and the log live: a fresh PROGRAMDATA, set before anything logs (Wine
// replaces the variable from the Linux side, so it is set from inside the process).
std::wstring data_directory() {
    static const std::wstring directory = [] {
        wchar_t temp[MAX_PATH];
        const std::wstring programdata =
            std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + L"kestrune-service-" +
            std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
        CreateDirectoryW(programdata.c_str(), nullptr);
        SetEnvironmentVariableW(L"PROGRAMDATA", programdata.c_str());
        CreateDirectoryW((programdata + L"\\KestruneConnect").c_str(), nullptr);
        return programdata + L"\\KestruneConnect";
    }();
    return directory;
}

// The stand-in reads its config.json at every start.
void configure_child(const std::string& config) {
    std::ofstream((data_directory() + L"\\config.json").c_str(), std::ios::binary) << config;
    ASSERT_TRUE(CopyFileW((bin_directory() + L"\\sing_box_stand_in.exe").c_str(),
                          (bin_directory() + L"\\sing-box.exe").c_str(), FALSE));
}

// The log from the line `marker` on.
std::string log_since(const std::string& marker) {
    std::ifstream in((data_directory() + L"\\sing-box-service.log").c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    const std::size_t at = all.rfind(marker + "\n");
    return at == std::string::npos ? std::string() : all.substr(at);
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// A guard against hanging only, never a measure of speed.
template <class Done> bool eventually(Done done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) {
            return true;
        }
        Sleep(10);
    }
    return done();
}

// Reports recorded in order, each with whether the slot's child was still running then.
struct Report {
    SERVICE_STATUS_HANDLE handle;
    SERVICE_STATUS status;
    bool child_running;
};
std::mutex reports_mutex;
std::vector<Report> reports;

BOOL WINAPI record_status(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    bool running = false;
    if (CurrentChild* slot = current_child_if_created()) {
        const auto polled = slot->try_wait();
        running = polled && polled->ok() && !polled->value().has_value();
    }
    std::lock_guard lock(reports_mutex);
    reports.push_back({handle, *status, running});
    return TRUE;
}

std::vector<Report> take_reports() {
    std::lock_guard lock(reports_mutex);
    return std::exchange(reports, {});
}

const auto FAKE_HANDLE = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5E4);

class ServiceShell : public ::testing::Test {
  protected:
    void SetUp() override {
        (void)data_directory();
        previous_sink_ = replace_status_sink(&record_status);
        status_handle.store(FAKE_HANDLE);
        stop_signal().clear();
        (void)take_reports();
    }
    void TearDown() override {
        status_handle.store(nullptr);
        replace_status_sink(previous_sink_);
    }

  private:
    StatusSink previous_sink_ = nullptr;
};

TEST_F(ServiceShell, StopBeforeTheSlotExistsOnlyRequestsAndReports) {
    ASSERT_EQ(current_child_if_created(), nullptr);
    EXPECT_EQ(service_control_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(stop_signal().requested());
    EXPECT_EQ(take_reports().size(), 1u);
    EXPECT_EQ(current_child_if_created(), nullptr) << "the handler must not create the slot";
}

TEST_F(ServiceShell, WithoutARegisteredHandleNothingIsReported) {
    // Outside a service process the registration fails and leaves the handle null for good.
    EXPECT_FALSE(register_control_handler(L"KestruneConnectSingBox"));
    EXPECT_EQ(status_handle.load(), nullptr);
    report_status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0);
    EXPECT_EQ(service_control_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(take_reports().empty());
}

TEST_F(ServiceShell, ReportsCarryTheFixedFieldsAndNothingFollowsStopped) {
    struct Row {
        DWORD state, controls, exit_code, check_point, wait_hint;
    };
    const Row rows[] = {{SERVICE_START_PENDING, 0, 0, 0, 3000},
                        {SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 1, 3000},
                        {SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0},
                        {SERVICE_STOP_PENDING, 0, 0, 0, 3000},
                        {SERVICE_STOPPED, 0, 1, 0, 0}};
    for (const Row& row : rows) {
        report_status(row.state, row.controls, row.exit_code);
    }
    report_status(SERVICE_STOPPED, 0, 0);
    const std::vector<Report> made = take_reports();
    ASSERT_EQ(made.size(), std::size(rows));
    for (std::size_t i = 0; i < made.size(); ++i) {
        const SERVICE_STATUS& s = made[i].status;
        EXPECT_EQ(made[i].handle, FAKE_HANDLE);
        EXPECT_EQ(s.dwServiceType, 0x10u);
        EXPECT_EQ(s.dwCurrentState, rows[i].state);
        EXPECT_EQ(s.dwControlsAccepted, rows[i].controls);
        EXPECT_EQ(s.dwWin32ExitCode, rows[i].exit_code);
        EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
        EXPECT_EQ(s.dwCheckPoint, rows[i].check_point);
        EXPECT_EQ(s.dwWaitHint, rows[i].wait_hint);
    }
}

TEST_F(ServiceShell, AStopKillsTheRunningChildAfterTheStopPendingReport) {
    configure_child(R"({"steps": [{"text": "stand-in waiting\n"}], "run_ms": "forever"})");
    logging::log_line("-- stop while running");
    auto spawned = child::spawn_sing_box();
    ASSERT_TRUE(spawned.ok()) << spawned.error();
    current_child().store(std::move(spawned).value());

    for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{SERVICE_CONTROL_PAUSE}}) {
        EXPECT_EQ(service_control_handler(control, 0, nullptr, nullptr),
                  static_cast<DWORD>(NO_ERROR));
    }
    EXPECT_TRUE(take_reports().empty()) << "interrogate and pause report nothing";
    EXPECT_FALSE(stop_signal().requested());

    EXPECT_EQ(service_control_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    const std::vector<Report> made = take_reports();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(made[0].status.dwControlsAccepted, 0u);
    EXPECT_TRUE(made[0].child_running) << "the report comes before the child dies";

    const auto waited = current_child().wait(); // the child stays in the slot for the loop
    ASSERT_TRUE(waited.has_value() && waited->ok());
    EXPECT_EQ(waited->value().code, 1u);

    supervise(); // sees the stop at once and shuts the child down
    EXPECT_FALSE(current_child().holds_child());
    EXPECT_EQ(count(log_since("-- stop while running"), "sing-box exited unexpectedly: "), 0u);
}

TEST_F(ServiceShell, AChildThatEndsIsRestartedAfterOneSecond) {
    configure_child(R"({"steps": [{"text": "stand-in says hello\n"}], "run_ms": 300,
                        "exit_code": 3})");
    const std::string marker = "-- restart";
    logging::log_line(marker);
    auto spawned = child::spawn_sing_box();
    ASSERT_TRUE(spawned.ok()) << spawned.error();
    current_child().store(std::move(spawned).value());

    std::thread loop([] { supervise(); });
    const bool restarted = eventually([&] {
        const std::string log = log_since(marker);
        return count(log, "sing-box restarted successfully") == 1 &&
               count(log, "stand-in says hello") == 2;
    });
    service_control_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    loop.join();
    ASSERT_TRUE(restarted) << log_since(marker);

    const std::string log = log_since(marker);
    const std::size_t exited = log.find("sing-box exited unexpectedly: exit code: 3\n");
    const std::size_t restarting = log.find("restarting sing-box in 1 seconds\n");
    const std::size_t success = log.find("sing-box restarted successfully\n");
    ASSERT_NE(exited, std::string::npos) << log;
    EXPECT_LT(log.find("stand-in says hello"), exited) << log;
    EXPECT_LT(exited, restarting) << log;
    EXPECT_LT(restarting, success) << log;
    // The second run starts only after its delay was announced.
    EXPECT_GT(log.rfind("stand-in says hello"), restarting) << log;
    EXPECT_EQ(count(log, "sing-box restart failed: "), 0u) << log;
    EXPECT_FALSE(current_child().holds_child());
}

} // namespace
} // namespace kestrune::service
