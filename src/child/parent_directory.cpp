#include "child/parent_directory.h"

#include "logging/log_path.h"

namespace kestrune::child {

std::optional<std::wstring> parent_directory(std::wstring_view path) {
    // The root ("C:\", "C:", "\", "\\server\share\", "\\?\C:\") has no parent of its own and
    // keeps its separator when it is what remains.
    const std::size_t root = logging::root_length(path);
    const auto separator_before = [&](std::size_t end) {
        return logging::is_separator(path[end - 1]);
    };
    std::size_t end = path.size();
    while (end > root && separator_before(end)) {
        --end;
    }
    if (end == root) {
        return std::nullopt;
    }
    while (end > root && !separator_before(end)) {
        --end;
    }
    while (end > root && separator_before(end)) {
        --end;
    }
    return std::wstring(path.substr(0, end));
}

} // namespace kestrune::child
