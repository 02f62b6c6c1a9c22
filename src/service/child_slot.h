#pragma once
// The mutex-guarded slot for the supervised child, shared by the control handler (which only
// kills the child in place) and the supervision loop (which polls it, replaces it and finally
// takes it out). Every call on the child happens under the slot's mutex; no other lock is ever
// taken while it is held, and nothing here logs.
//
// Child needs try_wait() -> Result<optional<Status>, OsError>, kill() -> Result<void, OsError>
// and wait() -> Result<Status, OsError>; destroying it closes its handles and never ends the
// process.

#include <atomic>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "service/child_event.h"

namespace kestrune::service {

template <class Child> class ChildSlot {
  public:
    using TryWaitResult = decltype(std::declval<Child&>().try_wait());
    using KillResult = decltype(std::declval<Child&>().kill());
    using WaitResult = decltype(std::declval<Child&>().wait());
    using Status = std::remove_cvref_t<decltype(*std::declval<TryWaitResult&>().value())>;

    ChildSlot() = default;
    ChildSlot(const ChildSlot&) = delete;
    ChildSlot& operator=(const ChildSlot&) = delete;

    // Destroys any child already held before the new one goes in.
    void store(Child child) {
        std::lock_guard lock(mutex_);
        child_.reset();
        child_.emplace(std::move(child));
    }

    void release() {
        std::lock_guard lock(mutex_);
        child_.reset();
    }

    bool holds_child() const {
        std::lock_guard lock(mutex_);
        return child_.has_value();
    }

    // The in-place calls yield nothing when the slot is empty.
    std::optional<TryWaitResult> try_wait() {
        std::lock_guard lock(mutex_);
        return child_ ? std::optional<TryWaitResult>(child_->try_wait()) : std::nullopt;
    }
    std::optional<KillResult> kill() {
        std::lock_guard lock(mutex_);
        return child_ ? std::optional<KillResult>(child_->kill()) : std::nullopt;
    }
    std::optional<WaitResult> wait() {
        std::lock_guard lock(mutex_);
        return child_ ? std::optional<WaitResult>(child_->wait()) : std::nullopt;
    }

    // One non-blocking poll. Nothing while the child runs; otherwise why it is gone, and the
    // child has been taken out and destroyed before the mutex is let go, so the handler can
    // never kill a process whose handle the loop has already given up on.
    std::optional<ChildEvent<Status>> poll() {
        std::lock_guard lock(mutex_);
        if (!child_) {
            return ChildEvent<Status>(ChildMissing{});
        }
        auto polled = child_->try_wait();
        if (polled.ok() && !polled.value().has_value()) {
            return std::nullopt;
        }
        child_.reset();
        if (!polled.ok()) {
            return ChildEvent<Status>(ChildWaitFailed{polled.error()});
        }
        return ChildEvent<Status>(ChildExited<Status>{std::move(*polled.value())});
    }

    // Shutdown: kill, wait without a time limit, destroy; errors are of no use here because the
    // slot ends empty either way.
    void terminate() {
        std::lock_guard lock(mutex_);
        if (child_) {
            (void)child_->kill();
            (void)child_->wait();
            child_.reset();
        }
    }

  private:
    mutable std::mutex mutex_;
    std::optional<Child> child_;
};

// A slot made on first use by the service thread. The control handler only looks at it with
// existing(), a plain atomic load, so it never creates the slot and never blocks on its
// creation.
template <class Child> class LazyChildSlot {
  public:
    constexpr LazyChildSlot() = default;
    LazyChildSlot(const LazyChildSlot&) = delete;
    LazyChildSlot& operator=(const LazyChildSlot&) = delete;
    ~LazyChildSlot() { delete slot_.load(); }

    ChildSlot<Child>& get_or_create() {
        ChildSlot<Child>* slot = slot_.load();
        if (slot != nullptr) {
            return *slot;
        }
        auto* made = new ChildSlot<Child>();
        if (slot_.compare_exchange_strong(slot, made)) {
            return *made;
        }
        delete made; // another thread got there first; `slot` now holds its slot
        return *slot;
    }

    ChildSlot<Child>* existing() const { return slot_.load(); }

  private:
    std::atomic<ChildSlot<Child>*> slot_{nullptr};
};

} // namespace kestrune::service
