#pragma once
// The service's directories and files and their security: creating the data directory so that
// only administrators may touch what is in it, and reading what the start-up checks judge.
// The verdict itself is in directory_safety.h.

#include <optional>
#include <string>
#include <string_view>

#include "win/directory_safety.h"
#include "win/result.h"

namespace kestrune::win {

// SYSTEM and Administrators full control, inherited by everything below; protected, so nothing
// from the program-data directory above flows in. No other account may even read config.json.
inline constexpr const wchar_t* PROTECTED_DIRECTORY_SDDL = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Creates one directory with the protected DACL. Its parent must exist. A directory that is
// already there counts as success and is left exactly as it is; so does a junction or
// directory symbolic link standing there, which is neither followed nor re-permissioned (that
// would land on its target) and which the start-up check refuses. Anything else in the way is
// an error. Errors are the OS error text.
Status create_protected_directory(const std::wstring& path);

// The entry at `path` itself, through one handle that does not follow a link (and never reads
// a file's contents): its owner and DACL, whether it is a link, its hard-link count. The error
// is the OS error of the open or of a read.
Result<Entry, OsError> read_entry(const std::wstring& path);

// This process's token user in the spelling of the SDDL texts read_entry gives; empty when the
// token cannot be read.
std::string process_user();

// "DOMAIN\name" (or a well-known account's bare name) as LookupAccountSidW gives it for a SID in
// SDDL spelling; the SID string when no name can be found.
std::string account_name(std::string_view sid);

// The verdict on `path` and why; empty when nothing stands there. What stands there but cannot
// be read is refused: nobody can tell who may change it.
std::optional<Judgement> judge_path(Guarded what, const std::wstring& path);

} // namespace kestrune::win
