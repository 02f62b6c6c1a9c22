// Test launcher for the job-object test: starts the sing-box stand-in through the service's
// own process creation, prints the child's process id on stdout and then waits to be killed.
// Usage: child_job_launcher <stand-in exe> <config.json>

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <mutex>

#include "child/launch.h"
#include "child/process_lock.h"

int main() {
    using namespace kestrune::child;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 3) {
        std::fputs("usage: child_job_launcher <stand-in exe> <config.json>\n", stderr);
        return 2;
    }
    kestrune::Result<LaunchedProcess, kestrune::OsError> launched =
        kestrune::fail(kestrune::OsError{0});
    {
        std::lock_guard lock(process_creation_lock());
        auto input = open_null_device(GENERIC_READ);
        auto output = open_null_device(GENERIC_WRITE);
        if (!input || !output) {
            return 3;
        }
        launched = create_process(argv[1], {L"run", L"-c", argv[2]}, input->get(), output->get(),
                                  output->get());
    }
    if (!launched) {
        std::fprintf(stderr, "create_process failed: %lu\n", launched.error().code);
        return 4;
    }
    std::printf("%lu\n", GetProcessId(launched->process.get()));
    std::fflush(stdout);
    for (;;) {
        Sleep(INFINITE);
    }
}
