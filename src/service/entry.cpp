#include "service/entry.h"

#include <windows.h>

#include <optional>
#include <string>

#include "child/pump.h"
#include "child/spawn.h"
#include "logging/log_sink.h"
#include "service/service_main.h"
#include "service/start_checks.h"
#include "win/os_error.h"
#include "win/os_error_text.h"
#include "win/wide.h"

namespace kestrune::service {
namespace {

// One child, no handler, no restarts, no route protection.
Status run_console(const std::string& dispatcher_line) {
    if (std::optional<std::string> refusal = refuse_unsafe_start(
            {dispatcher_line, "Kestrune service wrapper running in console mode"})) {
        return fail(std::move(*refusal));
    }
    auto child = child::spawn_sing_box();
    if (!child) {
        return fail(std::move(child).error());
    }
    auto status = child->wait();
    if (!status) {
        return fail("wait sing-box: " + win::os_error_text(status.error()));
    }
    // Its last lines first: the process exits right after the exit line.
    child::wait_for_pumps(CHILD_OUTPUT_GRACE);
    logging::log_line("sing-box console exit: " + status->text());
    return {};
}

} // namespace

Status run() {
    // The name must outlive the dispatcher call.
    std::wstring name = win::widen(SERVICE_NAME);
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), service_main}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table)) {
        return {};
    }
    const DWORD error = GetLastError();
    // Logged only once the start-up checks have passed the data directory.
    return run_console("StartServiceCtrlDispatcherW failed: " + win::code_text(error));
}

} // namespace kestrune::service
