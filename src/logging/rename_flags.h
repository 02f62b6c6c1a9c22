#pragma once
// The flags of the by-handle rename (FileRenameInfoEx) that retries a rename the system refused
// with access denied, and the fallback for systems that do not know all of them.

#include <cstdint>

namespace kestrune::logging {

inline constexpr std::uint32_t RENAME_REPLACE_IF_EXISTS = 0x1;
inline constexpr std::uint32_t RENAME_POSIX_SEMANTICS = 0x2;
inline constexpr std::uint32_t RENAME_IGNORE_READONLY_ATTRIBUTE = 0x40;
inline constexpr std::uint32_t RENAME_RETRY_FLAGS =
    RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS | RENAME_IGNORE_READONLY_ATTRIBUTE;
inline constexpr std::uint32_t RENAME_RETRY_FLAGS_WITHOUT_IGNORE_READONLY =
    RENAME_RETRY_FLAGS & ~RENAME_IGNORE_READONLY_ATTRIBUTE;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER_CODE = 87;

// `rename(flags)` renames with the given flags and returns the Win32 error code (0: done). It
// is tried with ignore-read-only first, so a read-only target is replaced too; a system that
// rejects that flag (ERROR_INVALID_PARAMETER: Windows before 10 version 1809) gets the flags
// without it. Returns the code of the last attempt.
template <class Rename> std::uint32_t rename_ignoring_read_only(Rename&& rename) {
    const std::uint32_t code = rename(RENAME_RETRY_FLAGS);
    if (code != ERROR_INVALID_PARAMETER_CODE) {
        return code;
    }
    return rename(RENAME_RETRY_FLAGS_WITHOUT_IGNORE_READONLY);
}

} // namespace kestrune::logging
