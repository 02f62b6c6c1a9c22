#pragma once
// The service's lines in the Windows Event Log: the Application log, source
// KestruneConnectSingBox, one event per line with the ID and level of its kind
// (event_kinds.def) and the line as its one insertion string. The executable's message table
// formats every ID as that string alone; the installer registers the source.

#include <string_view>

namespace kestrune::logging {

// The service's name: the source registered by the installer.
inline constexpr const wchar_t* EVENT_SOURCE_NAME = L"KestruneConnectSingBox";

// Reports `line` to the Event Log only; the log file does not see it (log_line writes the file
// and then calls this). The source is registered by the first call, once: when that fails no
// call reports anything. A failed report is dropped. Never fails towards the caller, takes no
// lock of the service's and waits for nothing but the report itself. Any thread, any time;
// not for the child's output.
void report_event(std::string_view line) noexcept;

} // namespace kestrune::logging
