#pragma once
// The full path of this process's own executable.

#include <windows.h>

#include <string>

#include "win/result.h"

namespace kestrune::child {

// GetModuleFileNameW with no module, the buffer grown until the whole path fits.
Result<std::wstring, OsError> current_exe();

} // namespace kestrune::child
