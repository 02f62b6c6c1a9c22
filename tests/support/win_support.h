#pragma once
// Real files, directories and processes for the Windows tests under Wine.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::test {

// A new empty directory under the temp directory, unique to this call.
std::wstring make_temp_dir(const std::wstring& name);
void make_directory_chain(const std::wstring& path);

// Directory of the running test executable: the build's bin folder, beside the service and
// the stand-ins.
std::wstring exe_directory();
std::wstring stand_in_path();
std::wstring route_stand_in_path();
std::wstring service_exe_path();
std::wstring system_directory();

void write_file(const std::wstring& path, const std::string& bytes);
std::string read_file(const std::wstring& path);
bool file_exists(const std::wstring& path);

// A JSON string literal for `text` (UTF-8, paths included).
std::string json(const std::string& text);
std::string json(const std::wstring& text);

// Polls `done` every 10 ms; false when it is still not true after `limit_ms` (a guard
// against hanging, never a measure of speed).
bool eventually(const std::function<bool()>& done, int limit_ms = 30000);

DWORD thread_count();

// One handle of this process, as the system handle table lists it, with its object type and
// name where the system tells them (Wine names files, pipes and named objects; an anonymous
// event or a thread has no name).
struct HandleEntry {
    std::uintptr_t value = 0;
    ACCESS_MASK access = 0;
    std::string type;
    std::string name;
};
// GetProcessHandleCount is a stub under Wine; these read the process's entries in the system
// handle table instead.
std::vector<HandleEntry> handle_table();
std::size_t handle_count();
// The handles that `after` holds and `before` did not, and those that went away, one per line
// ("+ 0x1a4 Event" / "- 0x98 File \??\Z:\tmp\x"); empty when both hold the same handles.
std::string handle_difference(const std::vector<HandleEntry>& before,
                              const std::vector<HandleEntry>& after);

// Replaces the DACL of `path` with the one in `sddl` (for instance "D:(A;OICI;FA;;;WD)").
bool set_directory_sddl(const std::wstring& path, const std::wstring& sddl);

// Runs a Unix program (Z:\bin\ln -s, Z:\bin\rm) on the Unix names of `paths` and polls
// for `done`: Wine 8's CreateSymbolicLinkW does nothing, but it shows a Unix symbolic link to a
// directory as a reparse point, and it cannot wait for a Unix process.
bool run_unix_on_paths(const wchar_t* command, const std::vector<std::wstring>& paths,
                       const std::function<bool()>& done);

// `log` without the lines that start with `prefix`.
std::string without_lines_starting(const std::string& log, const std::string& prefix);

struct ProcessResult {
    bool finished = false; // false: still running at the time limit, then terminated
    DWORD exit_code = 0;
    std::string standard_output;
    std::string standard_error;
};

// Runs `executable` with the raw `arguments` text, this process's environment with
// `environment` overriding single variables, and waits at most `limit_ms`.
ProcessResult run_process(const std::wstring& executable, const std::wstring& arguments,
                          const std::vector<std::pair<std::wstring, std::wstring>>& environment,
                          DWORD limit_ms);

// Wine's service control manager and the services it starts at boot come up after the first
// process of a fresh Wine server. A process that offers itself to the dispatcher while one of
// those services is still starting can be handed that start, so tests of the real
// executable wait until no service is start-pending.
void wait_for_settled_services();

} // namespace kestrune::test
