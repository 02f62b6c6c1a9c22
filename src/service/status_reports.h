#pragma once
// The order and numbering of the status reports, without the Win32 types. Reports come from
// the service thread, the control handler (dispatcher thread) and, while it deletes its routes
// at a stop, the route-protection worker; the documentation warns that a report following
// SERVICE_STOPPED can crash the process, so every report passes through one sequence that
// serialises the calls and drops what would come too late.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace kestrune::service {

inline constexpr std::uint32_t STATE_STOPPED = 1;       // SERVICE_STOPPED
inline constexpr std::uint32_t STATE_START_PENDING = 2; // SERVICE_START_PENDING
inline constexpr std::uint32_t STATE_STOP_PENDING = 3;  // SERVICE_STOP_PENDING
inline constexpr std::uint32_t STATE_RUNNING = 4;       // SERVICE_RUNNING
inline constexpr std::uint32_t ACCEPTS_STOP = 1;        // SERVICE_ACCEPT_STOP

// How long the service control manager is told to wait for the next pending report.
inline constexpr std::uint32_t PENDING_WAIT_HINT_MS = 3000;

struct StatusReport {
    std::uint32_t state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint_ms = 0;

    bool operator==(const StatusReport&) const = default;
};

class StatusSequence {
  public:
    using Sink = std::function<void(const StatusReport&)>;

    explicit StatusSequence(Sink sink) : sink_(std::move(sink)) {}
    StatusSequence(const StatusSequence&) = delete;
    StatusSequence& operator=(const StatusSequence&) = delete;

    // A pending state reported again is progress: its checkpoint grows by one (the first
    // report of a pending state has checkpoint 0). Running and stopped carry checkpoint 0 and
    // wait hint 0. Nothing follows a stopped report, and once a stop is pending the service
    // never again claims to be starting or running. Returns whether the report was made.
    //
    // The sink is called under this sequence's mutex, so callers must hold no other lock (in
    // particular not the child slot's): the mutex is a leaf.
    bool report(std::uint32_t state, std::uint32_t controls_accepted,
                std::uint32_t win32_exit_code);

    // A new life of the service (a new registration, or a new sink) starts from nothing.
    void restart();

  private:
    std::mutex mutex_;
    Sink sink_;
    std::optional<StatusReport> last_;
};

} // namespace kestrune::service
