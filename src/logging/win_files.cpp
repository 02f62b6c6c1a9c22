#include "logging/win_files.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "logging/rename_flags.h"
#include "win/os_error.h"

namespace kestrune::logging {
namespace {

static_assert(LOG_FILE_ACCESS == (FILE_GENERIC_WRITE & ~static_cast<DWORD>(FILE_WRITE_DATA)));
static_assert(LOG_FILE_SHARE == (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));

// Not every MinGW-w64 header has the Ex information classes and their structures; they are
// spelled out here with the SDK's values and layouts.
constexpr auto FILE_RENAME_INFO_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(3);
constexpr auto FILE_DISPOSITION_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto FILE_RENAME_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
constexpr DWORD DISPOSITION_IGNORE_READONLY_ATTRIBUTE = 0x10;

struct DispositionInfoEx {
    DWORD Flags;
};

// FILE_RENAME_INFO with the DWORD of flags where the older layout has its BOOLEAN
// ReplaceIfExists; on a little-endian machine flags of 1 are that BOOLEAN set, so one layout
// serves both classes.
struct RenameInfoEx {
    DWORD Flags;
    HANDLE RootDirectory;
    DWORD FileNameLength; // in bytes, without a terminator
    WCHAR FileName[1];
};

Status last_error_status() {
    return fail(win::os_error_text(win::last_os_error()));
}

bool delete_ignoring_read_only(const std::wstring& path) {
    const win::UniqueHandle file(CreateFileW(path.c_str(), DELETE, LOG_FILE_SHARE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        return false;
    }
    DispositionInfoEx info{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS |
                           DISPOSITION_IGNORE_READONLY_ATTRIBUTE};
    return SetFileInformationByHandle(file.get(), FILE_DISPOSITION_INFO_EX_CLASS, &info,
                                      sizeof info) != 0;
}

// SetFileInformationByHandle with the rename information for `to`; the Win32 error code.
DWORD set_rename_info(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, DWORD flags,
                      const std::wstring& to) {
    const std::size_t name_bytes = to.size() * sizeof(WCHAR);
    const std::size_t total = offsetof(RenameInfoEx, FileName) + name_bytes + sizeof(WCHAR);
    // Kept as RenameInfoEx units so the structure is suitably aligned.
    std::vector<RenameInfoEx> buffer((total + sizeof(RenameInfoEx) - 1) / sizeof(RenameInfoEx));
    RenameInfoEx* info = buffer.data();
    std::memset(static_cast<void*>(info), 0, buffer.size() * sizeof(RenameInfoEx));
    info->Flags = flags;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(info->FileName, to.c_str(), name_bytes);
    if (SetFileInformationByHandle(file, info_class, info, static_cast<DWORD>(total))) {
        return ERROR_SUCCESS;
    }
    return GetLastError();
}

} // namespace

std::optional<std::uint64_t> WinFiles::size(const std::wstring& path) const {
    const win::UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, LOG_FILE_SHARE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                             nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

Result<win::UniqueHandle> WinFiles::open(const std::wstring& path) const {
    win::UniqueHandle file(CreateFileW(path.c_str(), LOG_FILE_ACCESS, LOG_FILE_SHARE, nullptr,
                                       OPEN_ALWAYS, 0, nullptr));
    if (!file) {
        return fail(win::os_error_text(win::last_os_error()));
    }
    return file;
}

Status WinFiles::write(win::UniqueHandle& file, std::string_view bytes) const {
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), chunk, &written, nullptr)) {
            return last_error_status();
        }
        if (written == 0) {
            return fail("failed to write whole buffer");
        }
        bytes.remove_prefix(written);
    }
    return {};
}

Status WinFiles::remove(const std::wstring& path) const {
    if (DeleteFileW(path.c_str())) {
        return {};
    }
    const OsError first = win::last_os_error();
    if (first.code == ERROR_ACCESS_DENIED && delete_ignoring_read_only(path)) {
        return {};
    }
    return fail(win::os_error_text(first));
}

Result<win::UniqueHandle> WinFiles::hold(const std::wstring& path) const {
    win::UniqueHandle file(CreateFileW(path.c_str(), DELETE, LOG_FILE_SHARE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
    if (!file) {
        return fail(win::os_error_text(win::last_os_error()));
    }
    return file;
}

Status WinFiles::move(win::UniqueHandle& held, const std::wstring& to) const {
    const DWORD first = set_rename_info(held.get(), FILE_RENAME_INFO_CLASS, TRUE, to);
    if (first == ERROR_SUCCESS) {
        return {};
    }
    // Wine 8 rejects FileRenameInfoEx with every flag combination (ERROR_INVALID_PARAMETER),
    // so there this retry never succeeds and the first error stands.
    if (first == ERROR_ACCESS_DENIED && rename_ignoring_read_only([&](std::uint32_t flags) {
                                            return static_cast<std::uint32_t>(set_rename_info(
                                                held.get(), FILE_RENAME_INFO_EX_CLASS, flags, to));
                                        }) == ERROR_SUCCESS) {
        return {};
    }
    return fail(win::os_error_text(first));
}

} // namespace kestrune::logging
