#pragma once
// The service's data directory, which holds the log and the child's config.json.

#include <optional>
#include <string>

namespace kestrune::logging {

// An environment variable of this process: empty when it is not set, an empty string when it
// is set to the empty value.
std::optional<std::wstring> environment_variable(const wchar_t* name);

// "PROGRAMDATA" (read on every call; C:\ProgramData when not set) joined with
// KestruneConnect.
std::wstring log_directory();

} // namespace kestrune::logging
