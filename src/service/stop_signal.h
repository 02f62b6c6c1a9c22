#pragma once
// The process-wide stop request. The control handler sets it on the dispatcher thread and the
// supervision loop reads it on the service thread; it is a lone atomic flag and is never
// touched under a lock, so it can be set and read from anywhere without a lock order.

#include <atomic>

namespace kestrune::service {

class StopSignal {
  public:
    constexpr StopSignal() = default;
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Sequentially consistent stores: the handler's request must be visible before the child
    // it kills next is seen to have died.
    void clear() { requested_.store(false, std::memory_order_seq_cst); }
    void request() { requested_.store(true, std::memory_order_seq_cst); }
    bool requested() const { return requested_.load(std::memory_order_seq_cst); }

  private:
    std::atomic<bool> requested_{false};
};

// The one instance of the process: cleared by the service main at start, set by the handler.
StopSignal& stop_signal();

} // namespace kestrune::service
