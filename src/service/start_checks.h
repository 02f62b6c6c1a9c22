#pragma once
// Checks made once at start, after the first log line: warns about service directories that
// non-administrators could change. They never stop the service.

namespace kestrune::service {

void log_directory_warnings();

} // namespace kestrune::service
