#pragma once
// The service's size-rotated log file on real files:
//   RotatingLog::open(path, max_bytes, max_backups) -> Result<RotatingLog>
//   write_line(bytes) -> Status, rotate() -> Status
// Move-only. Errors are OS error texts, or LOG_NOT_OPEN. The decisions live in rotation.h.

#include "logging/rotation.h"
#include "logging/win_files.h"

namespace kestrune::logging {

using RotatingLog = BasicRotatingLog<WinFiles>;

} // namespace kestrune::logging
