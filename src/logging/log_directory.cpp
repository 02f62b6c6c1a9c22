#include "logging/log_directory.h"

#include <windows.h>

#include "logging/log_path.h"

namespace kestrune::logging {

std::optional<std::wstring> environment_variable(const wchar_t* name) {
    std::wstring value(64, L'\0');
    for (;;) {
        // 0 is both "failed" and "copied an empty value": only the last error tells them
        // apart (ERROR_ENVVAR_NOT_FOUND when the variable is not set).
        SetLastError(ERROR_SUCCESS);
        const DWORD length =
            GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0 && GetLastError() != ERROR_SUCCESS) {
            return std::nullopt;
        }
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length); // the size needed, terminator included
    }
}

std::wstring log_directory() {
    std::optional<std::u16string> programdata;
    if (const std::optional<std::wstring> value = environment_variable(L"PROGRAMDATA")) {
        programdata.emplace(value->begin(), value->end());
    }
    const std::u16string directory = log_directory_from(programdata);
    return std::wstring(directory.begin(), directory.end());
}

} // namespace kestrune::logging
