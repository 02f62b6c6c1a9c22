#include "service/supervise.h"

#include <utility>

#include "child/spawn.h"
#include "logging/log_sink.h"
#include "service/current_child.h"
#include "service/real_clock.h"
#include "service/stop_signal.h"
#include "service/supervision.h"
#include "win/os_error.h"

namespace kestrune::service {

SupervisionEnd supervise(std::function<std::optional<std::string>()> refuse_start) {
    const SupervisionHooks<child::SingBoxChild> hooks{
        .now = monotonic_now,
        .pause = pause_thread,
        .spawn = [] { return child::spawn_sing_box(); },
        .refuse_start = std::move(refuse_start),
        .log = [](std::string_view text) { logging::log_line(text); },
        .os_error_text = [](OsError error) { return win::os_error_text(error); },
    };
    return run_supervision(current_child(), stop_signal(), hooks);
}

} // namespace kestrune::service
