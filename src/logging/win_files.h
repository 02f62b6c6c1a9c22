#pragma once
// The log's file operations on Windows, as the rotating log needs them (see rotation.h).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "win/result.h"
#include "win/unique_handle.h"

namespace kestrune::logging {

// Append-only writing: FILE_GENERIC_WRITE without FILE_WRITE_DATA, so every write lands at the
// current end of the file.
inline constexpr std::uint32_t LOG_FILE_ACCESS = 0x120114;
// Others may read, append to, rename or delete the file while it is open.
inline constexpr std::uint32_t LOG_FILE_SHARE = 0x7;

struct WinFiles {
    using Path = std::wstring;
    using File = win::UniqueHandle;
    using Held = win::UniqueHandle;

    // The 64-bit size of what `path` names (links followed); empty when it cannot be opened
    // or queried, which counts as missing.
    std::optional<std::uint64_t> size(const std::wstring& path) const;
    // OPEN_ALWAYS in the append-only mode above; not inheritable.
    Result<win::UniqueHandle> open(const std::wstring& path) const;
    // WriteFile until every byte is written; a write of 0 bytes is an error.
    Status write(win::UniqueHandle& file, std::string_view bytes) const;
    // DeleteFileW; when refused with access denied (a read-only file, say), retried with a
    // POSIX-semantics delete that ignores the read-only attribute. A failed retry gives the
    // first error.
    Status remove(const std::wstring& path) const;
    // Opens `path` itself (a link is not followed) with DELETE access, sharing everything. Fails
    // with a sharing violation while any other handle on the file does not share deletion;
    // while it is open, no such handle can be opened.
    Result<win::UniqueHandle> hold(const std::wstring& path) const;
    // Renames the held file to `to`, replacing it (FileRenameInfo); when refused with access
    // denied (a read-only target, for one), retried with a POSIX-semantics rename that also
    // ignores the read-only attribute. A failed retry gives the first error.
    Status move(win::UniqueHandle& held, const std::wstring& to) const;
};

} // namespace kestrune::logging
