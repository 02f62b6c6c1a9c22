#include "child/spawn.h"

#include "child/current_exe.h"
#include "child/parent_directory.h"
#include "child/pump.h"
#include "child/start_child.h"
#include "logging/log_directory.h"
#include "logging/log_path.h"
#include "logging/shared_log.h"
#include "win/os_error.h"

namespace kestrune::child {

Result<SingBoxChild> spawn_sing_box() {
    Result<std::wstring, OsError> exe = current_exe();
    if (!exe) {
        return fail("current_exe: " + win::os_error_text(exe.error()));
    }
    return spawn_sing_box_from(*exe);
}

Result<SingBoxChild> spawn_sing_box_from(const std::wstring& service_exe) {
    const std::optional<std::wstring> directory = parent_directory(service_exe);
    if (!directory) {
        return fail("service exe has no parent directory");
    }
    const std::wstring executable = logging::join_path(*directory, L"sing-box.exe");
    const std::wstring config_path = logging::join_path(logging::log_directory(), L"config.json");

    Result<StartedChild, OsError> started = start_child(executable, {L"run", L"-c", config_path});
    if (!started) {
        return fail("spawn sing-box: " + win::os_error_text(started.error()));
    }
    SingBoxChild child(std::move(started->process.process), std::move(started->process.thread));

    Result<std::shared_ptr<logging::SharedLog>> log = logging::shared_log();
    if (!log) {
        // Nobody would read its output and a retry would start a second proxy beside it, so
        // the child does not outlive the failed start.
        (void)child.kill();
        (void)child.wait();
        return fail("open rotating log: " + log.error());
    }
    start_pump(*log, std::move(started->stdout_read));
    start_pump(std::move(*log), std::move(started->stderr_read));
    return child;
}

} // namespace kestrune::child
