#pragma once
// Starting sing-box.exe from the service's own directory, with its two output pumps.

#include <string>

#include "child/sing_box_child.h"
#include "win/result.h"

namespace kestrune::child {

// Starts "<service exe directory>\sing-box.exe run -c <log directory>\config.json" with no
// window, the null device as standard input and standard output and error piped into the
// shared log. Never logs; a failure comes back as its error text ("current_exe: ...",
// "service exe has no parent directory", "spawn sing-box: ...", "open rotating log: ...").
Result<SingBoxChild> spawn_sing_box();

// spawn_sing_box for a given service executable path instead of this process's own, so tests
// can place the "service exe" in a directory of their choosing.
Result<SingBoxChild> spawn_sing_box_from(const std::wstring& service_exe);

} // namespace kestrune::child
