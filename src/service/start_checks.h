#pragma once
// The checks made before every start of sing-box: at the start of the service (and of console
// mode), and again before each restart of the child, since config.json can appear, be replaced
// or be relinked between two starts.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::service {

// Warnings are logged at the service's start; a restart repeats only refusals.
enum class Warnings { logged, silent };

// Judges the data directory (creating it first when it is missing), the service directory,
// sing-box.exe and config.json. `first_lines` are logged as soon as the data directory has
// passed: into a refused one nothing is written, not even the log. The result is empty when
// sing-box may start; otherwise the refusal lines, joined by line feeds, each of them logged
// unless it is the data directory's (that one goes to the Event Log only). A refusal ends with
// its reason in parentheses.
std::optional<std::string> refuse_unsafe_start(std::initializer_list<std::string_view> first_lines,
                                               Warnings warnings = Warnings::logged);

} // namespace kestrune::service
