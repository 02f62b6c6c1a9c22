#include "child/pump.h"

#include <gtest/gtest.h>

#include <thread>

#include "child/start_child.h"
#include "win/os_error.h"
#include "win_test_support.h"

namespace kestrune::child {
namespace {

using namespace test;
using SpawnedPumps = ChildTest;

struct Finished {
    std::uint32_t exit_code = 0;
    std::string appended; // what the pumps added to the log
};

// Runs the stand-in with `config` through real pipes and both pumps into `log`, and joins the
// pumps, so everything they will ever write is in the file on return. Children of other tests
// never write into the shared log while this runs.
Finished run_through_pumps(const std::string& config, std::shared_ptr<logging::SharedLog> log,
                           const std::wstring& file) {
    const std::wstring config_path = make_temp_dir(L"pump") + L"\\config.json";
    write_file(config_path, config);
    const std::size_t before = read_file(file).size();
    auto started = start_child(stand_in_path(), {L"run", L"-c", config_path});
    if (!started) {
        ADD_FAILURE() << win::os_error_text(started.error());
        return {};
    }
    std::thread out(pump_output, log, std::move(started->stdout_read));
    std::thread err(pump_output, log, std::move(started->stderr_read));
    out.join();
    err.join();
    Finished finished;
    WaitForSingleObject(started->process.process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(started->process.process.get(), &code);
    finished.exit_code = code;
    finished.appended = read_file(file).substr(before);
    return finished;
}

std::shared_ptr<logging::SharedLog> the_shared_log() {
    auto log = logging::shared_log();
    EXPECT_TRUE(log.ok());
    return log.ok() ? *log : nullptr;
}

// A child that writes only to one stream leaves the other pump waiting in its read until the
// child exits; the joins above prove it then ends without writing anything.
TEST(PumpOutput, CopiesEachLineAsTheExactBytes) {
    const std::string long_line(20000, 'L');
    const struct {
        const char* name;
        std::string steps;
        std::string logged;
    } cases[] = {
        {"two lines in one write", R"({"text": "one\ntwo\n"})", "one\ntwo\n"},
        {"a 20,000-byte line over several reads",
         R"({"pattern": "L", "bytes": 20000, "chunk": 3000}, {"text": "\n"})", long_line + "\n"},
        {"last line without a line feed", R"({"text": "first\nlast"})", "first\nlast\n"},
        {"CR LF kept", R"({"text": "crlf\r\n"})", "crlf\r\n"},
        {"a lone line feed is an empty line", R"({"text": "\n"})", "\n"},
        {"invalid UTF-8 unchanged", R"({"hex": "ff fe c3 28 80 0a"})", "\xff\xfe\xc3\x28\x80\n"},
        {"output only on stderr", R"({"stream": "stderr", "text": "err one\nerr two"})",
         "err one\nerr two\n"},
        {"a line in pieces across writes",
         R"({"text": "pie", "sleep_ms": 50}, {"text": "ces\n", "stream": "stdout"})", "pieces\n"},
        {"nothing at all", "", ""},
    };
    auto log = the_shared_log();
    ASSERT_NE(log, nullptr);
    for (const auto& c : cases) {
        const Finished finished =
            run_through_pumps("{\"steps\": [" + c.steps + "]}", log, log_path());
        EXPECT_EQ(finished.exit_code, 0u) << c.name;
        EXPECT_EQ(finished.appended, c.logged) << c.name;
    }
}

// The pumps that spawn_sing_box starts itself, detached, copy both streams.
TEST_F(SpawnedPumps, CopyBothStreamsIntoTheLog) {
    const std::string marker = std::to_string(GetTickCount64());
    auto child =
        spawn_stand_in(R"({"steps": [{"text": "spawned out )" + marker +
                       R"(\n"}, {"stream": "stderr", "text": "spawned err )" + marker + R"("}]})");
    ASSERT_TRUE(child.ok()) << child.error();
    ASSERT_TRUE(child->wait().ok());
    EXPECT_TRUE(eventually([&] {
        const std::string logged = read_file(log_path());
        return logged.find("spawned out " + marker + "\n") != std::string::npos &&
               logged.find("spawned err " + marker + "\n") != std::string::npos;
    }));
}

// A log whose every write after its first line fails: then its directory is moved away, so
// neither the rotation before the next line nor any later open of the file can reach it.
std::shared_ptr<logging::SharedLog> unwritable_log(const std::wstring& dir) {
    auto opened = logging::RotatingLog::open(dir + L"\\sing-box-service.log", 1, 1);
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error());
    if (!opened.ok()) {
        return nullptr;
    }
    auto log =
        std::shared_ptr<logging::SharedLog>(new logging::SharedLog{{}, std::move(opened).value()});
    EXPECT_TRUE(log->log.write_line("first").ok());
    EXPECT_TRUE(MoveFileExW(dir.c_str(), (dir + L".gone").c_str(), 0)) << GetLastError();
    EXPECT_FALSE(log->log.write_line("second").ok());
    return log;
}

// The pipes are drained even when nothing can be logged: a child writing far more than a
// pipe holds still runs to its end.
TEST(PumpOutput, ChildNeverBlocksWhenTheLogCannotBeWritten) {
    const std::wstring dir = make_temp_dir(L"broken-log");
    auto log = unwritable_log(dir);
    ASSERT_NE(log, nullptr);
    const std::wstring moved = dir + L".gone\\sing-box-service.log";
    // 1024 lines of 256 bytes, far more than the pipe holds; every line costs a failed open,
    // so the count stays modest.
    const std::string line = std::string(255, 'x') + "\\n";
    const Finished finished = run_through_pumps(
        R"({"steps": [{"pattern": ")" + line +
            R"(", "bytes": 262144, "chunk": 4096},)"
            R"( {"text": "\n", "times": 300, "stream": "stderr"}], "exit_code": 4})",
        log, moved);
    EXPECT_EQ(finished.exit_code, 4u);
    EXPECT_EQ(finished.appended, "");
    EXPECT_EQ(read_file(moved), "first\n");
}

} // namespace
} // namespace kestrune::child
