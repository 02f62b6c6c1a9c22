#pragma once
// Counts running pieces of work (the output pumps) so that a caller about to end the process
// can let them finish first: a pump still holding the child's last lines when the process
// exits would lose them.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace kestrune::child {

class ActivityCount {
  public:
    void begin() {
        std::lock_guard guard(mutex_);
        ++running_;
    }
    void end() {
        std::lock_guard guard(mutex_);
        if (--running_ == 0) {
            idle_.notify_all();
        }
    }
    // True when nothing runs any more; false when `limit` passed first.
    bool wait_idle(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return idle_.wait_for(lock, limit, [this] { return running_ == 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable idle_;
    std::size_t running_ = 0;
};

} // namespace kestrune::child
