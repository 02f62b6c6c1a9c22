#include "child/sing_box_child.h"

#include <windows.h>

namespace kestrune::child {
namespace {

Result<ExitStatus, OsError> exit_status(HANDLE process) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
        return fail(OsError{GetLastError()});
    }
    return ExitStatus{code};
}

} // namespace

Result<std::optional<ExitStatus>, OsError> SingBoxChild::try_wait() {
    // The state comes from the wait alone: GetExitCodeProcess reports STILL_ACTIVE (259) both
    // for a running process and for one that really exited with 259.
    switch (WaitForSingleObject(process_.get(), 0)) {
    case WAIT_OBJECT_0: {
        Result<ExitStatus, OsError> status = exit_status(process_.get());
        if (!status) {
            return fail(status.error());
        }
        return std::optional<ExitStatus>(*status);
    }
    case WAIT_TIMEOUT:
        return std::optional<ExitStatus>();
    default:
        return fail(OsError{GetLastError()});
    }
}

Result<ExitStatus, OsError> SingBoxChild::wait() {
    if (WaitForSingleObject(process_.get(), INFINITE) != WAIT_OBJECT_0) {
        return fail(OsError{GetLastError()});
    }
    return exit_status(process_.get());
}

Result<void, OsError> SingBoxChild::kill() {
    if (TerminateProcess(process_.get(), 1)) {
        return {};
    }
    const DWORD error = GetLastError();
    // Windows refuses to terminate a process that has already ended with access denied; that
    // is success as long as the handle still lets us look at the process.
    if (error == ERROR_ACCESS_DENIED && try_wait()) {
        return {};
    }
    return fail(OsError{error});
}

} // namespace kestrune::child
