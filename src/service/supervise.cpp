#include "service/supervise.h"

#include "child/spawn.h"
#include "logging/log_sink.h"
#include "service/current_child.h"
#include "service/real_clock.h"
#include "service/stop_signal.h"
#include "service/supervision.h"
#include "win/os_error.h"

namespace kestrune::service {

void supervise() {
    const SupervisionHooks<child::SingBoxChild> hooks{
        .now = monotonic_now,
        .pause = pause_thread,
        .spawn = [] { return child::spawn_sing_box(); },
        .log = [](std::string_view text) { logging::log_line(text); },
        .os_error_text = [](OsError error) { return win::os_error_text(error); },
    };
    run_supervision(current_child(), stop_signal(), hooks);
}

} // namespace kestrune::service
