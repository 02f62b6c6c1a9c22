#pragma once
// Creating the data directory.

#include <string>

#include "win/result.h"

namespace kestrune::logging {

// Creates `directory` and every missing ancestor, outermost first; what already exists as a
// directory is left alone. An error is the OS error text of the CreateDirectoryW that failed
// (ERROR_ALREADY_EXISTS when a file stands where a directory should be).
Status create_directory_chain(const std::wstring& directory);

} // namespace kestrune::logging
