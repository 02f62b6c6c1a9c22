#include "child/launch.h"

#include <memory>

#include "child/command_line.h"
#include "child/inherit_list.h"
#include "child/job.h"

namespace kestrune::child {
namespace {

// A one-entry attribute list naming the handles the child may inherit.
class HandleListAttribute {
  public:
    Result<void, OsError> init(std::vector<void*> handles) {
        handles_ = std::move(handles);
        SIZE_T size = 0;
        // The sizing call fails with ERROR_INSUFFICIENT_BUFFER by design.
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_ = std::make_unique<unsigned char[]>(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            storage_.reset();
            return fail(OsError{GetLastError()});
        }
        // The list points into handles_, which must stay put until CreateProcessW is done.
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                       handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            return fail(OsError{GetLastError()});
        }
        return {};
    }
    ~HandleListAttribute() {
        if (storage_) {
            DeleteProcThreadAttributeList(get());
        }
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    }

  private:
    std::vector<void*> handles_;
    std::unique_ptr<unsigned char[]> storage_;
};

} // namespace

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

    // bInheritHandles TRUE with the list: the child inherits its three standard handles and
    // nothing else, neither the service's own ends nor, in console mode, the standard handles
    // the service inherited from its caller (whose pipe would then not end until the child
    // does).
    HandleListAttribute inherit;
    if (auto made = inherit.init(handles_to_inherit({std_input, std_output, std_error})); !made) {
        return fail(made.error());
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = std_input;
    startup.StartupInfo.hStdOutput = std_output;
    startup.StartupInfo.hStdError = std_error;
    startup.lpAttributeList = inherit.get();

    tie_children_to_this_process();
    PROCESS_INFORMATION info{};
    const BOOL created =
        CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                       nullptr, nullptr, &startup.StartupInfo, &info);
    if (!created) {
        return fail(OsError{GetLastError()});
    }
    return LaunchedProcess{win::UniqueHandle(info.hProcess), win::UniqueHandle(info.hThread)};
}

} // namespace kestrune::child
