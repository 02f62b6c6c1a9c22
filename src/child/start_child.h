#pragma once
// Starting a child whose standard input is the null device and whose standard output and
// error are two new pipes; the service keeps the read ends.

#include <string>
#include <vector>

#include "child/launch.h"

namespace kestrune::child {

struct StartedChild {
    LaunchedProcess process;
    win::UniqueHandle stdout_read; // not inheritable
    win::UniqueHandle stderr_read; // not inheritable
};

// Holds process_creation_lock() from the first child end created until the service's copies
// of the child's three ends are closed; on failure every handle made is closed and no process
// is left behind.
Result<StartedChild, OsError> start_child(const std::wstring& executable,
                                          const std::vector<std::wstring>& args);

} // namespace kestrune::child
