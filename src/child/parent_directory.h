#pragma once
// The directory part of a Windows path, as the service finds sing-box.exe beside itself.

#include <optional>
#include <string>
#include <string_view>

namespace kestrune::child {

// "C:\svc\kestrune.exe" -> "C:\svc"; "C:\kestrune.exe" -> "C:\" (the root keeps its
// separator); "C:kestrune.exe" -> "C:"; a bare name -> "" (the current directory). Nothing
// for a path that is only a root or empty. Both backslash and slash separate.
std::optional<std::wstring> parent_directory(std::wstring_view path);

} // namespace kestrune::child
