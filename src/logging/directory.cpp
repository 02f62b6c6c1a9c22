#include "logging/directory.h"

#include <windows.h>

#include <vector>

#include "logging/log_path.h"
#include "win/directory_security.h"
#include "win/os_error.h"

namespace kestrune::logging {
namespace {

// GetFileAttributesW describes the entry itself: a junction or directory symbolic link counts
// as the directory it stands for and is used as it is, never re-permissioned. The start-up
// check refuses to start when the data directory itself is a link; links higher up the path are the
// administrators' business.
bool is_directory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// One component whose parent exists. Another process may create it at the same moment, so a
// failure is only an error when no directory stands there afterwards.
Status create_directory(const std::wstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr)) {
        return {};
    }
    const OsError error = win::last_os_error();
    if (is_directory(path)) {
        return {};
    }
    return fail(win::os_error_text(error));
}

} // namespace

Status create_directory_chain(const std::wstring& directory) {
    const std::vector<std::wstring> chain = directory_chain<wchar_t>(directory);
    for (std::size_t index = 0; index < chain.size(); ++index) {
        const std::wstring& path = chain[index];
        if (is_directory(path)) {
            continue;
        }
        // The service's own directory is made writable by administrators only, so nobody else
        // can plant a config.json or links for the log rotation; ancestors keep the default
        // security of wherever they are made.
        const bool last = index + 1 == chain.size();
        if (Status created = last ? win::create_protected_directory(path) : create_directory(path);
            !created) {
            return created;
        }
    }
    return {};
}

} // namespace kestrune::logging
