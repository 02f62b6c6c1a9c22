#pragma once
// The process-creation lock. Every child process the service creates (sing-box and route.exe)
// is created under it, from the first inheritable handle made for the child until the
// service has closed its copies of them. With bInheritHandles TRUE, a process created at the
// same moment on another thread would otherwise inherit the other child's pipe write ends and
// keep its output pump from ever seeing the end of the stream.

#include <mutex>

namespace kestrune::child {

std::mutex& process_creation_lock();

} // namespace kestrune::child
