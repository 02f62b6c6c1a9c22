#pragma once
// Children end with the service process, however it ends.

namespace kestrune::child {

// Puts this process, once, into a new job object that kills every process in it when its last
// handle closes. The handle is kept open and never closed, so the system closes it when this
// process ends, for any reason, and every child started after this call (they inherit the job)
// ends with it. When the process is in a job that does not allow this, it carries on without.
// Called before each child is created.
void tie_children_to_this_process();

} // namespace kestrune::child
