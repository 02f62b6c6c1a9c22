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

} // namespace
} // namespace kestrune::service
