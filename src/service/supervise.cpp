#include "service/supervise.h"

#include <windows.h>

#include <chrono>

#include "child/spawn.h"
#include "logging/log_sink.h"
#include "service/current_child.h"
#include "service/stop_signal.h"
#include "service/supervision.h"
#include "win/os_error.h"

namespace kestrune::service {

void supervise() {
    // MinGW's steady_clock reads QueryPerformanceCounter; Sleep blocks the thread, so neither
    // the poll nor a restart delay busy-waits.
    const SupervisionHooks<child::SingBoxChild> hooks{
        .now =
            [] {
                return std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch());
            },
        .pause =
            [](std::chrono::milliseconds interval) { Sleep(static_cast<DWORD>(interval.count())); },
        .spawn = [] { return child::spawn_sing_box(); },
        .log = [](std::string_view text) { logging::log_line(text); },
        .os_error_text = [](OsError error) { return win::os_error_text(error); },
    };
    run_supervision(current_child(), stop_signal(), hooks);
}

} // namespace kestrune::service
