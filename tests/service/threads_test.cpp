// The handler and the loop on real threads, sharing one slot. The child's state is plain data
// that only the slot's mutex protects, so ThreadSanitizer sees any call made outside it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child/exit_status.h"
#include "service/child_slot.h"
#include "service/control.h"
#include "service/route_wait.h"
#include "service/status_reports.h"
#include "service/supervision.h"

namespace kestrune::service {
namespace {

using namespace std::chrono_literals;

std::atomic<int> live_children{0};

struct ThreadedProcess {
    int polls_left = 0; // ends by itself (exit code 7) at this many polls; never when 0
    bool killed = false;
    bool ended = false;
};

class ThreadedChild {
  public:
    explicit ThreadedChild(int polls_to_exit) : state_(std::make_unique<ThreadedProcess>()) {
        state_->polls_left = polls_to_exit;
        ++live_children;
    }
    ThreadedChild(ThreadedChild&& other) noexcept : state_(std::move(other.state_)) {}
    ThreadedChild& operator=(ThreadedChild&&) = delete;
    ~ThreadedChild() {
        if (state_) {
            --live_children;
        }
    }

    Result<std::optional<child::ExitStatus>, OsError> try_wait() {
        if (!state_->ended && state_->polls_left > 0 && --state_->polls_left == 0) {
            state_->ended = true;
        }
        if (!state_->ended) {
            return std::optional<child::ExitStatus>();
        }
        return std::optional<child::ExitStatus>(code());
    }
    Result<void, OsError> kill() {
        if (!state_->ended) {
            state_->ended = state_->killed = true;
        }
        return {};
    }
    Result<child::ExitStatus, OsError> wait() {
        EXPECT_TRUE(state_->ended) << "wait is only reached after kill";
        return code();
    }

  private:
    child::ExitStatus code() const { return {state_->killed ? 1u : 7u}; }
    std::unique_ptr<ThreadedProcess> state_;
};

TEST(SupervisionThreads, AStopFromTheHandlerThreadNeverLooksLikeACrash) {
    std::mt19937 random(12345);
    for (int round = 0; round < 150; ++round) {
        StopSignal stop;
        LazyChildSlot<ThreadedChild> current;
        std::vector<std::string> log; // loop thread only
        std::chrono::nanoseconds clock{0};
        const int lifetime = 1 + static_cast<int>(random() % 6);
        current.get_or_create().store(ThreadedChild(lifetime));

        const SupervisionHooks<ThreadedChild> hooks{
            .now = [&] { return clock; },
            .pause =
                [&](std::chrono::milliseconds interval) {
                    clock += interval;
                    std::this_thread::sleep_for(20us);
                },
            .spawn = [&]() -> Result<ThreadedChild> { return ThreadedChild(lifetime); },
            .log = [&](std::string_view text) { log.emplace_back(text); },
            .os_error_text = [](OsError) { return std::string("os error"); },
        };
        const auto delay = std::chrono::microseconds(random() % 3000);
        std::atomic<int> reports{0};

        std::thread loop([&] { run_supervision(current.get_or_create(), stop, hooks); });
        std::thread dispatcher([&] {
            std::this_thread::sleep_for(delay);
            EXPECT_EQ(handle_control(
                          CONTROL_STOP, stop, [&] { ++reports; }, current),
                      CONTROL_HANDLED);
        });
        dispatcher.join();
        loop.join();

        EXPECT_EQ(reports.load(), 1);
        EXPECT_FALSE(current.existing()->holds_child()) << "round " << round;
        EXPECT_EQ(live_children.load(), 0) << "round " << round;
        for (const std::string& line : log) {
            EXPECT_NE(line, "sing-box exited unexpectedly: exit code: 1") << "round " << round;
        }
    }
}

TEST(SupervisionThreads, TheSlotIsCreatedOnceWhileTheHandlerLooksAtIt) {
    for (int round = 0; round < 200; ++round) {
        LazyChildSlot<ThreadedChild> current;
        StopSignal stop;
        ChildSlot<ThreadedChild>* made_by_service = nullptr;
        ChildSlot<ThreadedChild>* made_by_other = nullptr;

        std::thread service([&] {
            made_by_service = &current.get_or_create();
            made_by_service->store(ThreadedChild(0));
        });
        std::thread other([&] { made_by_other = &current.get_or_create(); });
        std::thread dispatcher([&] {
            (void)handle_control(
                CONTROL_STOP, stop, [] {}, current);
        });
        service.join();
        other.join();
        dispatcher.join();

        EXPECT_EQ(made_by_service, made_by_other);
        EXPECT_EQ(current.existing(), made_by_service);
        current.existing()->terminate();
        EXPECT_EQ(live_children.load(), 0);
    }
}

// Records every report; the sink must never be entered by two threads at once.
struct ReportRecorder {
    std::atomic<bool> inside{false};
    std::atomic<bool> accepts_stop{false}; // the service control manager may send a stop now
    std::vector<StatusReport> made;        // guarded by the sequence's serialisation
    StatusSequence sequence{[this](const StatusReport& report) {
        EXPECT_FALSE(inside.exchange(true)) << "two reports at once";
        // Held a while, so a report made meanwhile has to queue behind this one.
        std::this_thread::sleep_for(50us);
        made.push_back(report);
        inside.store(false);
        if (report.controls_accepted & ACCEPTS_STOP) {
            accepts_stop.store(true);
        }
    }};

    std::vector<std::uint32_t> states() const {
        std::vector<std::uint32_t> result;
        for (const StatusReport& report : made) {
            if (result.empty() || result.back() != report.state) {
                result.push_back(report.state);
            }
        }
        return result;
    }
    void wait_until_stop_accepted() const {
        while (!accepts_stop.load()) {
            std::this_thread::yield();
        }
    }
    // Checkpoints run 0, 1, 2 ... within each state.
    void expect_counted_steps(int round) const {
        for (std::size_t i = 1; i < made.size(); ++i) {
            if (made[i].state == made[i - 1].state) {
                EXPECT_EQ(made[i].check_point, made[i - 1].check_point + 1) << "round " << round;
            }
        }
    }
};

// A stop while the service, already running, waits for the physical route: the handler's
// report races with the service thread's end, and nothing follows the stopped report.
TEST(StatusThreads, AStopDuringTheRouteWaitEndsTheStart) {
    std::mt19937 random(4242);
    for (int round = 0; round < 100; ++round) {
        ReportRecorder recorder;
        StopSignal stop;
        LazyChildSlot<ThreadedChild> current; // stays uncreated: the wait stores no child
        std::chrono::nanoseconds clock{0};
        const RouteWaitHooks<int> hooks{
            .find_route = []() -> Result<int> { return fail("GetBestRoute failed: 1232"); },
            .now = [&] { return clock; },
            .pause =
                [&](std::chrono::milliseconds interval) {
                    // Fake time stops short of the limit, so only the stop can end the wait.
                    if (clock + interval < ROUTE_WAIT_LIMIT - 1s) {
                        clock += interval;
                    }
                    std::this_thread::sleep_for(20us);
                },
            .log = [](std::string_view) {},
        };
        const auto delay = std::chrono::microseconds(random() % 3000);
        bool stopped = false;

        std::thread service([&] {
            recorder.sequence.report(STATE_START_PENDING, 0, 0);
            recorder.sequence.report(STATE_RUNNING, ACCEPTS_STOP, 0);
            stopped =
                std::holds_alternative<RouteWaitStopped>(wait_for_physical_route(stop, hooks));
            recorder.sequence.report(STATE_STOPPED, 0, 0);
        });
        std::thread dispatcher([&] {
            recorder.wait_until_stop_accepted();
            std::this_thread::sleep_for(delay);
            (void)handle_control(
                CONTROL_STOP, stop, [&] { recorder.sequence.report(STATE_STOP_PENDING, 0, 0); },
                current);
        });
        dispatcher.join();
        service.join();

        EXPECT_TRUE(stopped) << "round " << round;
        EXPECT_EQ(current.existing(), nullptr);
        EXPECT_EQ(recorder.states(),
                  (std::vector<std::uint32_t>{STATE_START_PENDING, STATE_RUNNING,
                                              STATE_STOP_PENDING, STATE_STOPPED}))
            << "round " << round;
        recorder.expect_counted_steps(round);
    }
}

} // namespace
} // namespace kestrune::service
