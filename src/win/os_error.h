#pragma once
// The OS error text of a Windows error code, with the message from the system table (and
// NTDLL's table for codes with bit 28 set).

#include <cstdint>
#include <string>

#include "win/result.h"

namespace kestrune::win {

std::string os_error_text(std::uint32_t code);
inline std::string os_error_text(OsError error) {
    return os_error_text(static_cast<std::uint32_t>(error.code));
}

// GetLastError() read right away, as an OsError value.
OsError last_os_error();

} // namespace kestrune::win
