#pragma once
// A reading taken off the worker's thread. Some readings can take long: the TCP tables with
// their owning processes (Wine looks an owner up for every row), files on a slow disk, the
// service manager while it is busy. The 250 ms pass must not wait for them, so a reading runs
// through `runner` (a thread of its own in the service; at once, inline, in tests) and the
// worker takes its result at a later pass. A reading still running when the worker ends finishes
// on its own and is dropped: it shares nothing with the worker but this state.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace kestrune::routes {

template <class Reading> class BackgroundRead {
  public:
    using Runner = std::function<void(std::function<void()>)>;

    BackgroundRead(std::function<Reading()> read, Runner runner)
        : read_(std::move(read)), runner_(std::move(runner)) {}

    // Starts a reading unless one runs.
    void start() {
        if (running_) {
            return;
        }
        running_ = true;
        auto job = [state = state_, read = read_] {
            Reading reading = read();
            std::lock_guard lock(state->mutex);
            state->result = std::move(reading);
        };
        if (runner_) {
            runner_(std::move(job));
        } else {
            job();
        }
    }

    bool running() const { return running_; }

    // The reading that finished since the last call, if one did.
    std::optional<Reading> take() {
        std::lock_guard lock(state_->mutex);
        if (!state_->result) {
            return std::nullopt;
        }
        running_ = false;
        return std::exchange(state_->result, std::nullopt);
    }

  private:
    struct State {
        std::mutex mutex;
        std::optional<Reading> result;
    };

    std::function<Reading()> read_;
    Runner runner_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    bool running_ = false; // the worker's own
};

} // namespace kestrune::routes
