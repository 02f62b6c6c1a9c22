#pragma once
// The service's directories and their security: creating the data directory so that only
// administrators may change what is in it, and checking the directories the service trusts.
// The verdict itself is in directory_safety.h.

#include <optional>
#include <string>
#include <vector>

#include "win/directory_safety.h"
#include "win/result.h"

namespace kestrune::win {

// SYSTEM and Administrators full control, Users read and execute, inherited by everything
// below; protected, so nothing from the program-data directory above flows in.
inline constexpr const wchar_t* PROTECTED_DIRECTORY_SDDL =
    L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Creates one directory with the protected DACL. Its parent must exist. A directory that is
// already there counts as success and is left exactly as it is; so does a junction or
// directory symbolic link standing there, which is neither followed nor re-permissioned (that
// would land on its target) and which the start-up check reports as unsafe. Anything else in
// the way is an error. Errors are the OS error text.
Status create_protected_directory(const std::wstring& path);

// Owner and DACL as stored on the directory entry itself, and whether that entry is a link
// (a junction or symbolic link is not followed); empty when they cannot be read (for instance
// the directory does not exist).
std::optional<DirectorySecurity> read_directory_security(const std::wstring& path);

// Empty when the directory cannot be checked.
std::optional<bool> directory_writable_by_non_admins(const std::wstring& path);

// The warning lines for the start of the service, data directory first.
std::vector<std::string> directory_warnings(const std::wstring& data_directory,
                                            const std::wstring& service_directory);

} // namespace kestrune::win
