#pragma once
// Which handles a new child may inherit. Only the child's own standard handles are passed
// down (PROC_THREAD_ATTRIBUTE_HANDLE_LIST); nothing else the service holds reaches it.

#include <initializer_list>
#include <vector>

namespace kestrune::child {

// `handles` in order, each value once and without the null and INVALID_HANDLE_VALUE values:
// the attribute refuses a handle that is named twice, and a child's standard output and error
// are often one handle.
std::vector<void*> handles_to_inherit(std::initializer_list<void*> handles);

} // namespace kestrune::child
