#include "routes/commands/route_pool.h"

#include <system_error>
#include <utility>

namespace kestrune::routes {

ThreadedRoutePool::ThreadedRoutePool(Command command, std::size_t slots)
    : command_(std::move(command)), slots_(slots) {}

ThreadedRoutePool::~ThreadedRoutePool() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

std::size_t ThreadedRoutePool::free_slots() const {
    std::lock_guard lock(mutex_);
    return slots_ > in_progress_ ? slots_ - in_progress_ : 0;
}

void ThreadedRoutePool::set_slots(std::size_t slots) {
    std::lock_guard lock(mutex_);
    slots_ = slots;
}

void ThreadedRoutePool::start(RouteJob job) {
    bool more_threads = false;
    {
        std::lock_guard lock(mutex_);
        queued_.push_back(std::move(job));
        ++in_progress_;
        // A thread per slot, made when first needed: a quiet machine never makes more than one.
        more_threads = threads_.size() < in_progress_;
    }
    if (more_threads) {
        try {
            threads_.emplace_back([this] { serve(); });
        } catch (const std::system_error&) {
            // The threads there are take the job in turn; with none at all it runs here.
            if (threads_.empty()) {
                std::unique_lock lock(mutex_);
                run_next(lock);
                return;
            }
        }
    }
    work_ready_.notify_one();
}

std::vector<RouteOutcome> ThreadedRoutePool::take_finished() {
    std::lock_guard lock(mutex_);
    return std::exchange(finished_, {});
}

std::size_t ThreadedRoutePool::running() const {
    std::lock_guard lock(mutex_);
    return in_progress_;
}

std::uint64_t ThreadedRoutePool::now_ms() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - origin_)
                                          .count());
}

bool ThreadedRoutePool::wait_until(std::uint64_t deadline_ms) {
    std::unique_lock lock(mutex_);
    return work_done_.wait_until(lock, origin_ + std::chrono::milliseconds(deadline_ms),
                                 [this] { return !finished_.empty(); });
}

void ThreadedRoutePool::serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [this] { return closing_ || !queued_.empty(); });
        if (queued_.empty()) {
            return; // closing, and nothing left to run
        }
        run_next(lock);
    }
}

void ThreadedRoutePool::run_next(std::unique_lock<std::mutex>& lock) {
    RouteJob job = std::move(queued_.front());
    queued_.pop_front();
    lock.unlock();
    Status status = command_(job.verb, job.peer, job.via, job.timeout);
    lock.lock();
    finished_.push_back({std::move(job), std::move(status)});
    --in_progress_;
    work_done_.notify_all();
}

} // namespace kestrune::routes
