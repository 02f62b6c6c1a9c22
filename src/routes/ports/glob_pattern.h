#pragma once
// File-name patterns as sshd's Include expands them (glob(7)), compared as Windows compares
// file names.

#include <string_view>

namespace kestrune::routes {

// Whether `name` matches the glob(7) `pattern` (*, ?, [...] with ranges and !), compared
// without regard to ASCII case as Windows compares file names; a leading dot is matched only
// by a leading dot.
bool glob_match(std::string_view pattern, std::string_view name);

} // namespace kestrune::routes
