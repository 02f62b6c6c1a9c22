#pragma once
// Counts running pieces of work (the output pumps) so that a caller about to end the process
// can let them finish first: a pump still holding the child's last lines when the process
// exits would lose them.
//
// The count is a bare atomic and the rare waiter polls it. A mutex here would be taken by
// every pump at its start and end, and MinGW's winpthreads gives a mutex an event handle the
// first time two threads meet on it (two pumps of one child ending together, say) and keeps
// it for the mutex's life: one handle more at some unforeseeable moment, which is
// indistinguishable from a leak when a process's handles are counted.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

namespace kestrune::child {

class ActivityCount {
  public:
    void begin() { running_.fetch_add(1); }
    void end() { running_.fetch_sub(1); }
    // True when nothing runs any more; false when `limit` passed first. Polls: it is called
    // once, at the very end of a run.
    bool wait_idle(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (running_.load() != 0) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                return false;
            }
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, POLL));
        }
        return true;
    }

  private:
    static constexpr std::chrono::milliseconds POLL{5};
    std::atomic<std::size_t> running_{0};
};

} // namespace kestrune::child
