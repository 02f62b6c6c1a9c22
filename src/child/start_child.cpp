#include "child/start_child.h"

#include <mutex>

#include "child/process_lock.h"

namespace kestrune::child {
namespace {

// A pipe whose write end the child inherits and whose read end stays with the service only.
Result<void, OsError> create_output_pipe(win::UniqueHandle& read_end,
                                         win::UniqueHandle& write_end) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) {
        return fail(OsError{GetLastError()});
    }
    read_end.reset(read);
    write_end.reset(write);
    if (!SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0)) {
        return fail(OsError{GetLastError()});
    }
    return {};
}

} // namespace

// The lock keeps these inheritable ends away from any other process created meanwhile (see
// process_lock.h). The service's copies of the child's ends close when this returns, on every
// path.
Result<StartedChild, OsError> start_child(const std::wstring& executable,
                                          const std::vector<std::wstring>& args) {
    std::lock_guard lock(process_creation_lock());
    Result<win::UniqueHandle, OsError> null_input = open_null_device(GENERIC_READ);
    if (!null_input) {
        return fail(null_input.error());
    }
    win::UniqueHandle stdout_read, stdout_write, stderr_read, stderr_write;
    if (auto made = create_output_pipe(stdout_read, stdout_write); !made) {
        return fail(made.error());
    }
    if (auto made = create_output_pipe(stderr_read, stderr_write); !made) {
        return fail(made.error());
    }
    Result<LaunchedProcess, OsError> launched =
        create_process(executable, args, null_input->get(), stdout_write.get(), stderr_write.get());
    if (!launched) {
        return fail(launched.error());
    }
    return StartedChild{std::move(launched).value(), std::move(stdout_read),
                        std::move(stderr_read)};
}

} // namespace kestrune::child
