#pragma once
// The checks made at every start of the service (and of console mode), before sing-box is first
// started; a restart of the child within a run does not repeat them.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::service {

// Judges the data directory (creating it first when it is missing), the service directory,
// sing-box.exe and config.json. `first_lines` are logged as soon as the data directory has
// passed: into a refused one nothing is written, not even the log. Warnings are logged. The
// result is empty when sing-box may start; otherwise the refusal lines, joined by line feeds,
// each of them logged unless it is the data directory's.
std::optional<std::string> refuse_unsafe_start(std::initializer_list<std::string_view> first_lines);

} // namespace kestrune::service
