#pragma once
// A scripted child and a fake clock for driving the supervision loop in fake time. Each fake
// process ends by itself at a set time (or never), with a set exit code; kill() ends it at
// once with exit code 1, as TerminateProcess does for the real child.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "child/exit_status.h"
#include "service/child_slot.h"
#include "service/stop_signal.h"
#include "service/supervision.h"
#include "win/result.h"

namespace kestrune::service::testing {

using namespace std::chrono_literals;
using Nanos = std::chrono::nanoseconds;

struct FakeProcess {
    const Nanos* clock = nullptr;
    std::optional<Nanos> ends_at; // nullopt: runs until killed
    std::uint32_t exit_code = 0;
    std::optional<OsError> try_wait_error;
    std::optional<OsError> kill_error;
    std::function<void()> on_try_wait; // runs inside try_wait, i.e. under the slot's mutex
    bool killed = false;
    int waits = 0;
    bool destroyed = false;

    bool ended() const { return killed || (ends_at && *clock >= *ends_at); }
    std::uint32_t code() const { return killed ? 1 : exit_code; }
};

class FakeChild {
  public:
    explicit FakeChild(std::shared_ptr<FakeProcess> process) : process_(std::move(process)) {}
    FakeChild(FakeChild&& other) noexcept = default;
    FakeChild& operator=(FakeChild&&) = delete;
    ~FakeChild() {
        if (process_) {
            process_->destroyed = true;
        }
    }

    Result<std::optional<child::ExitStatus>, OsError> try_wait() {
        if (process_->on_try_wait) {
            process_->on_try_wait();
        }
        if (process_->try_wait_error) {
            return fail(*process_->try_wait_error);
        }
        if (!process_->ended()) {
            return std::optional<child::ExitStatus>();
        }
        return std::optional<child::ExitStatus>(child::ExitStatus{process_->code()});
    }
    Result<void, OsError> kill() {
        if (process_->kill_error) {
            return fail(*process_->kill_error);
        }
        if (!process_->ended()) {
            process_->killed = true;
        }
        return {};
    }
    Result<child::ExitStatus, OsError> wait() {
        ++process_->waits;
        return child::ExitStatus{process_->code()};
    }

  private:
    std::shared_ptr<FakeProcess> process_;
};

// A stand-in OS error formatting, recognisable in the expected lines.
inline std::string fake_os_error_text(OsError error) {
    return "fake os error " + std::to_string(error.code);
}

// Fake time moves only when the loop pauses. `spawner` decides every launch; `on_pause` runs
// after each pause, for stopping the loop at a chosen moment.
struct FakeWorld {
    struct Line {
        Nanos at;
        std::string text;
    };

    Nanos clock{0};
    StopSignal stop;
    LazyChildSlot<FakeChild> current;
    std::vector<Line> log;
    std::vector<std::chrono::milliseconds> pauses;
    std::vector<std::shared_ptr<FakeProcess>> processes; // every process ever started
    std::function<Result<FakeChild>()> spawner;
    std::function<void()> on_pause;

    std::shared_ptr<FakeProcess> make_process(std::optional<Nanos> lifetime,
                                              std::uint32_t exit_code = 3) {
        auto process = std::make_shared<FakeProcess>();
        process->clock = &clock;
        if (lifetime) {
            process->ends_at = clock + *lifetime;
        }
        process->exit_code = exit_code;
        processes.push_back(process);
        return process;
    }

    ChildSlot<FakeChild>& slot() { return current.get_or_create(); }

    // The first child, stored as the service main does before the loop starts.
    std::shared_ptr<FakeProcess> store_first(std::optional<Nanos> lifetime,
                                             std::uint32_t exit_code = 3) {
        auto process = make_process(lifetime, exit_code);
        slot().store(FakeChild(process));
        return process;
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> texts;
        for (const Line& line : log) {
            texts.push_back(line.text);
        }
        return texts;
    }

    SupervisionHooks<FakeChild> hooks() {
        return {
            .now = [this] { return clock; },
            .pause =
                [this](std::chrono::milliseconds interval) {
                    pauses.push_back(interval);
                    clock += interval;
                    if (on_pause) {
                        on_pause();
                    }
                },
            .spawn = [this] { return spawner(); },
            .log =
                [this](std::string_view text) {
                    // The loop must not log while it holds the slot's mutex; taking it here would
                    // then deadlock the test instead of passing it.
                    (void)slot().holds_child();
                    log.push_back({clock, std::string(text)});
                },
            .os_error_text = fake_os_error_text,
        };
    }

    void run() { run_supervision(slot(), stop, hooks()); }
};

} // namespace kestrune::service::testing
