#pragma once
// The supervision loop: polls the child, logs why it ended, restarts it after a growing delay
// and, once a stop is requested, kills, waits for and releases it. Time, pauses, the launch,
// logging and OS error texts come in as hooks, so the restart schedule runs in milliseconds
// under a fake clock.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "service/child_event.h"
#include "service/child_slot.h"
#include "service/stop_signal.h"
#include "win/result.h"

namespace kestrune::service {

inline constexpr std::chrono::milliseconds POLL_INTERVAL{500};
inline constexpr std::chrono::milliseconds DELAY_TICK{200};
inline constexpr std::array<std::chrono::seconds, 4> RESTART_DELAYS{
    std::chrono::seconds{1}, std::chrono::seconds{3}, std::chrono::seconds{10},
    std::chrono::seconds{30}};
inline constexpr std::chrono::seconds STABLE_RUN{60};

template <class Child> struct SupervisionHooks {
    // Monotonic time since any fixed origin; only whole seconds of differences are compared.
    std::function<std::chrono::nanoseconds()> now;
    std::function<void(std::chrono::milliseconds)> pause;
    std::function<Result<Child>()> spawn;
    // Run before every restart: whether sing-box may start (empty) or why not. The refusal has
    // been logged by the check itself. Unset: always allowed.
    std::function<std::optional<std::string>()> refuse_start = nullptr;
    std::function<void(std::string_view)> log;
    std::function<std::string(OsError)> os_error_text;
};

namespace detail {

inline std::int64_t whole_seconds(std::chrono::nanoseconds elapsed) {
    return std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
}

inline std::uint64_t saturating_increment(std::uint64_t count) {
    return count == std::numeric_limits<std::uint64_t>::max() ? count : count + 1;
}

// Attempts until one start succeeds, a stop is seen during a delay (the restart is then
// abandoned) or the checks refuse the start (false). `started` is moved only by a successful
// start; failed attempts and successes advance `restart_count` alike.
template <class Child>
bool restart_child(ChildSlot<Child>& slot, const StopSignal& stop,
                   const SupervisionHooks<Child>& hooks, std::uint64_t& restart_count,
                   std::chrono::nanoseconds& started) {
    for (;;) {
        const std::uint64_t index =
            std::min<std::uint64_t>(restart_count, RESTART_DELAYS.size() - 1);
        const std::chrono::seconds delay = RESTART_DELAYS[index];
        hooks.log("restarting sing-box in " + std::to_string(delay.count()) + " seconds");
        restart_count = saturating_increment(restart_count);

        const std::chrono::nanoseconds t0 = hooks.now();
        while (whole_seconds(hooks.now() - t0) < delay.count()) {
            if (stop.requested()) {
                return true;
            }
            hooks.pause(DELAY_TICK);
        }

        if (hooks.refuse_start && hooks.refuse_start()) {
            return false;
        }
        Result<Child> spawned = hooks.spawn();
        if (!spawned.ok()) {
            hooks.log("sing-box restart failed: " + spawned.error());
            continue;
        }
        slot.store(std::move(spawned).value());
        started = hooks.now();
        hooks.log("sing-box restarted successfully");
        return true;
    }
}

} // namespace detail

// How supervision ended: a stop request, or a restart the checks refused.
enum class SupervisionEnd { stopped, refused };

// Precondition: the slot holds the first child. Returns after a stop request, with the child
// killed, waited for and destroyed and the slot empty, or when the checks refused a restart
// (nothing runs then).
template <class Child>
SupervisionEnd run_supervision(ChildSlot<Child>& slot, const StopSignal& stop,
                               const SupervisionHooks<Child>& hooks) {
    std::chrono::nanoseconds started = hooks.now();
    std::uint64_t restart_count = 0;

    while (!stop.requested()) {
        // The slot destroys an ended child before unlocking; the message is made and logged
        // only after the mutex has been released.
        auto event = slot.poll();
        if (!event) {
            hooks.pause(POLL_INTERVAL);
            continue;
        }
        if (stop.requested()) {
            break; // the handler's kill, not a crash: dropped unlogged
        }
        hooks.log(event_message(*event, hooks.os_error_text));

        // Once per event: a long stretch of failed attempts must not reset the schedule.
        if (detail::whole_seconds(hooks.now() - started) >= STABLE_RUN.count()) {
            restart_count = 0;
        }
        if (!detail::restart_child(slot, stop, hooks, restart_count, started)) {
            return SupervisionEnd::refused;
        }
        // After an abandoned restart the next iteration's first check goes to shutdown.
        hooks.pause(POLL_INTERVAL);
    }

    slot.terminate(); // no log line at shutdown
    return SupervisionEnd::stopped;
}

} // namespace kestrune::service
