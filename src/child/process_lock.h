#pragma once
// The process-creation lock. Every child process the service creates (sing-box and route.exe)
// is created under it, from the first inheritable handle made for the child until the
// service has closed its copies of them.
//
// Our own creations pass each child its handle list (launch.h), so none of them picks up
// another's ends any more. The lock stays because the list limits only the CreateProcessW that
// carries it: a process creation elsewhere in this process with bInheritHandles TRUE and no
// list would still inherit these ends while they exist (they must be inheritable to be passed
// on at all), and a pipe write end held that way keeps its output pump from ever seeing the
// end of the stream. Every creation that takes the lock is safe from that; code that does not
// take it is not, which is why the ends live no longer than one creation. The cost is that a
// route.exe start and a sing-box restart wait for each other.

#include <mutex>

namespace kestrune::child {

std::mutex& process_creation_lock();

} // namespace kestrune::child
