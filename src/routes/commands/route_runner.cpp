#include "routes/commands/route_runner.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <optional>

#include "child/exit_status.h"
#include "child/launch.h"
#include "child/process_lock.h"
#include "routes/commands/route_command.h"
#include "win/os_error.h"
#include "win/wide.h"

namespace kestrune::routes {
namespace {

std::optional<std::wstring> read_windir() {
    std::wstring value(MAX_PATH, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length =
            GetEnvironmentVariableW(L"WINDIR", value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            // 0 is also the length of a variable that is set but empty.
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return std::nullopt;
            }
            return std::wstring();
        }
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length); // too small: length is the size needed, terminator included
    }
}

Result<child::LaunchedProcess, OsError> start_route_exe(const std::wstring& executable,
                                                        const std::vector<std::wstring>& args) {
    // Held until the inheritable null-device handles below are closed again (see
    // process_lock.h).
    std::lock_guard lock(child::process_creation_lock());
    auto input = child::open_null_device(GENERIC_READ);
    if (!input) {
        return fail(input.error());
    }
    auto output = child::open_null_device(GENERIC_WRITE);
    if (!output) {
        return fail(output.error());
    }
    auto error = child::open_null_device(GENERIC_WRITE);
    if (!error) {
        return fail(error.error());
    }
    return child::create_process(executable, args, input->get(), output->get(), error->get());
}

// INFINITE is a DWORD value of its own: a bound never reaches it.
DWORD wait_milliseconds(std::chrono::milliseconds interval) {
    return static_cast<DWORD>(
        std::clamp<std::chrono::milliseconds::rep>(interval.count(), 0, INFINITE - 1));
}

// The arguments are made by the caller; the errors name the peer.
Status run_route_exe(std::string_view verb, const IpAddress& peer,
                     const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
    const std::wstring executable = route_executable_path(read_windir());
    std::vector<std::wstring> args;
    for (const std::string& arg : arguments) {
        args.push_back(win::widen(arg));
    }
    const auto os_failure = [&](unsigned long code) {
        return fail(route_start_error(verb, peer, win::os_error_text(OsError{code})));
    };

    auto started = start_route_exe(executable, args);
    if (!started) {
        return os_failure(started.error().code);
    }
    const HANDLE process = started->process.get();
    const DWORD waited = WaitForSingleObject(process, wait_milliseconds(timeout));
    if (waited == WAIT_FAILED) {
        return os_failure(GetLastError());
    }
    if (waited == WAIT_TIMEOUT) {
        // Exit code 1, as a killed sing-box gets. Neither a failed termination nor a process
        // that outlasts the short wait changes the outcome: the run has failed, and the job
        // object ends a survivor with the service at the latest.
        (void)TerminateProcess(process, 1);
        (void)WaitForSingleObject(process, wait_milliseconds(ROUTE_TERMINATE_WAIT));
        return fail(route_timeout_error(verb, peer, timeout));
    }
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(process, &exit_code)) {
        return os_failure(GetLastError());
    }
    if (exit_code != 0) {
        return fail(route_exit_error(verb, peer, child::ExitStatus{exit_code}.text()));
    }
    return {};
}

} // namespace

Status run_route_command(std::string_view verb, Ipv4Address peer, const PhysicalRoute& route,
                         std::chrono::milliseconds timeout) {
    return run_route_exe(verb, peer, route_command_arguments(verb, peer, route), timeout);
}

Status run_route_command(std::string_view verb, const IpAddress& peer, const PhysicalRoutes& routes,
                         std::chrono::milliseconds timeout) {
    if (!routes.covers(peer)) {
        return fail("no physical route for " + peer.to_string());
    }
    if (peer.is_ipv6()) {
        return run_route_exe(verb, peer, route_command_arguments(verb, peer.ipv6(), *routes.ipv6),
                             timeout);
    }
    return run_route_command(verb, peer.ipv4(), *routes.ipv4, timeout);
}

} // namespace kestrune::routes
