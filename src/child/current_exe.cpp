#include "child/current_exe.h"

namespace kestrune::child {

Result<std::wstring, OsError> current_exe() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return fail(OsError{GetLastError()});
        }
        // A path that fills the buffer may have been cut short (the call then also reports
        // ERROR_INSUFFICIENT_BUFFER, but not on every Windows version).
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

} // namespace kestrune::child
