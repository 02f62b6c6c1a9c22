#include "child/launch.h"

#include "child/command_line.h"
#include "child/job.h"

namespace kestrune::child {

Result<win::UniqueHandle, OsError> open_null_device(DWORD access) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    win::UniqueHandle device(CreateFileW(L"\\\\.\\NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inherit, OPEN_EXISTING, 0, nullptr));
    if (!device) {
        return fail(OsError{GetLastError()});
    }
    return device;
}

Result<LaunchedProcess, OsError> create_process(const std::wstring& executable,
                                                const std::vector<std::wstring>& args,
                                                HANDLE std_input, HANDLE std_output,
                                                HANDLE std_error) {
    // CreateProcessW may write into the command line, so it gets its own buffer.
    std::wstring command_line = build_command_line<wchar_t>(executable, args);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = std_input;
    startup.hStdOutput = std_output;
    startup.hStdError = std_error;

    tie_children_to_this_process();
    PROCESS_INFORMATION info{};
    const BOOL created = CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr,
                                        TRUE, CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                                        nullptr, nullptr, &startup, &info);
    if (!created) {
        return fail(OsError{GetLastError()});
    }
    return LaunchedProcess{win::UniqueHandle(info.hProcess), win::UniqueHandle(info.hThread)};
}

} // namespace kestrune::child
