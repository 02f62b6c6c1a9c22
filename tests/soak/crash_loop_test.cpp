// A sing-box that crashes at once, restarted 200 times by the real supervision loop through the
// real launch: the restart delays pass on a fake clock, everything else is real (processes,
// pipes, detached pumps, the shared log). Afterwards the process holds exactly the handles and
// threads it held before: no process, thread or pipe handle and no pump is left behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "child/spawn.h"
#include "logging/log_sink.h"
#include "logging/shared_log.h"
#include "service/child_slot.h"
#include "service/stop_signal.h"
#include "service/supervision.h"
#include "soak_support.h"
#include "win/os_error.h"

namespace kestrune::soak {
namespace {

using namespace std::chrono_literals;

constexpr int RESTARTS = 200;

TEST(CrashLoop, TwoHundredRestartsLeaveNoHandleThreadOrPumpBehind) {
    const std::wstring log = use_new_programdata(R"({"steps": [{"text": "crash out\n"},
        {"text": "crash err\n", "stream": "stderr"}], "exit_code": "0xC0000005"})");
    const std::wstring service_exe = make_service_dir();

    // One child first: it opens the shared log and the job that lives as long as the process,
    // both of which stay by design. Counting starts once its pumps are gone.
    const DWORD threads_at_start = thread_count();
    {
        auto warm_up = child::spawn_sing_box_from(service_exe);
        ASSERT_TRUE(warm_up.ok()) << warm_up.error();
        ASSERT_TRUE(warm_up->wait().ok());
    }
    ASSERT_TRUE(eventually([&] { return thread_count() == threads_at_start; }));
    auto shared = logging::shared_log();
    ASSERT_TRUE(shared.ok());
    make_wait_handle((*shared)->mutex);
    const std::vector<HandleEntry> handles = handle_table();
    const DWORD threads = thread_count();

    // On the heap, as the service's own slot is; on the stack GCC takes the empty optional
    // inside for uninitialised.
    const auto slot_owner = std::make_unique<service::ChildSlot<child::SingBoxChild>>();
    service::ChildSlot<child::SingBoxChild>& slot = *slot_owner;
    service::StopSignal stop;
    std::chrono::nanoseconds clock{0};
    int restarts = 0;
    // Each start attempt's error, empty for a start. Wine now and then loses a new process
    // while it starts (CreateProcessW fails with ERROR_INTERNAL_ERROR); the loop must log
    // that and go on with the schedule, as it would on Windows.
    std::vector<std::string> attempts;
    std::vector<std::string> lines;
    const service::SupervisionHooks<child::SingBoxChild> hooks{
        .now = [&] { return clock; },
        // Only the restart delays run on the fake clock; a poll waits a little real time for
        // the child to crash. So no child ever seems to have run 60 seconds, and the schedule
        // never resets.
        .pause =
            [&](std::chrono::milliseconds interval) {
                if (interval == service::DELAY_TICK) {
                    clock += interval;
                } else {
                    Sleep(2);
                }
            },
        .spawn =
            [&] {
                auto spawned = child::spawn_sing_box_from(service_exe);
                restarts += spawned.ok() ? 1 : 0;
                attempts.push_back(spawned.ok() ? std::string() : spawned.error());
                return spawned;
            },
        .log =
            [&](std::string_view text) {
                lines.emplace_back(text);
                logging::log_line(text);
                if (restarts == RESTARTS && text.starts_with("restarting sing-box in ")) {
                    stop.request(); // seen during the delay: the restart is abandoned
                }
            },
        .os_error_text = [](OsError error) { return win::os_error_text(error); },
    };
    auto first = child::spawn_sing_box_from(service_exe);
    ASSERT_TRUE(first.ok()) << first.error();
    slot.store(std::move(first).value());
    service::run_supervision(slot, stop, hooks);
    EXPECT_FALSE(slot.holds_child());

    const std::string exited = "sing-box exited unexpectedly: exit code: 0xc0000005";
    std::vector<std::string> expected{exited};
    std::chrono::nanoseconds waited{0};
    for (std::size_t i = 0;; ++i) {
        const long delay = i < 3 ? std::array{1, 3, 10}[i] : 30;
        expected.push_back("restarting sing-box in " + std::to_string(delay) + " seconds");
        if (i == attempts.size()) {
            break; // the stop came during this delay
        }
        waited += std::chrono::seconds(delay);
        if (attempts[i].empty()) {
            expected.push_back("sing-box restarted successfully");
            expected.push_back(exited);
        } else {
            expected.push_back("sing-box restart failed: " + attempts[i]);
        }
    }
    EXPECT_LE(attempts.size(), RESTARTS + 3u) << "start attempts failed again and again";
    EXPECT_EQ(lines.size(), expected.size());
    const auto differ = std::mismatch(lines.begin(), lines.end(), expected.begin(), expected.end());
    EXPECT_TRUE(differ.first == lines.end())
        << "line " << differ.first - lines.begin() << " is \"" << *differ.first << "\"";
    EXPECT_EQ(clock, waited);

    // The pumps end on their own after their child; give them time, then compare. When the
    // counts differ, the handles that came or went are listed with their type and name, so
    // that a failure names what was left behind.
    const bool settled = eventually(
        [&] { return thread_count() == threads && handle_count() == handles.size(); }, 60000);
    EXPECT_TRUE(settled) << "threads " << thread_count() << " (was " << threads << "), handles "
                         << handle_count() << " (was " << handles.size() << ")\n"
                         << handle_difference(handles, handle_table());

    // Every child's output made it into the log, the warm-up's included.
    const std::string text = read_shared(log);
    EXPECT_EQ(count_lines(text, "crash out\n"), RESTARTS + 2u);
    EXPECT_EQ(count_lines(text, "crash err\n"), RESTARTS + 2u);
    EXPECT_EQ(count_lines(text, "sing-box restarted successfully\n"), std::size_t{RESTARTS});
}

} // namespace
} // namespace kestrune::soak
