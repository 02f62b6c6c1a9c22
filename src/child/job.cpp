#include "child/job.h"

#include <windows.h>

#include <mutex>

namespace kestrune::child {

void tie_children_to_this_process() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Not inheritable: a child holding the handle would keep the job, and itself, alive.
        HANDLE job = CreateJobObjectW(nullptr, nullptr);
        if (job == nullptr) {
            return;
        }
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                     sizeof(limits)) ||
            !AssignProcessToJobObject(job, GetCurrentProcess())) {
            // Already in a job that forbids nesting or this limit: children then simply
            // outlive a crashed service, as they would without the job.
            CloseHandle(job);
            return;
        }
        // `job` stays open on purpose until the process ends.
    });
}

} // namespace kestrune::child
