#pragma once
// Creating a child process with redirected standard handles: the one CreateProcessW call
// shared by the sing-box launch and the route.exe runs.

#include <windows.h>

#include <string>
#include <vector>

#include "win/result.h"
#include "win/unique_handle.h"

namespace kestrune::child {

struct LaunchedProcess {
    win::UniqueHandle process;
    win::UniqueHandle thread;
};

// "\\.\NUL" opened with the given access, inheritable, for a child's standard input.
Result<win::UniqueHandle, OsError> open_null_device(DWORD access);

// Starts `executable` (no PATH search) with a command line that parses back into `args`,
// no window, the service's environment and current directory, and the three given handles
// (inheritable) as its standard handles. The child inherits those three and no other handle.
// The caller still holds process_creation_lock() from creating the child's ends until it has
// closed its copies of them (process_lock.h says why).
Result<LaunchedProcess, OsError> create_process(const std::wstring& executable,
                                                const std::vector<std::wstring>& args,
                                                HANDLE std_input, HANDLE std_output,
                                                HANDLE std_error);

} // namespace kestrune::child
