#include "child/parent_directory.h"

namespace kestrune::child {
namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool is_drive(std::wstring_view path, std::size_t at) {
    if (path.size() < at + 2 || path[at + 1] != L':') {
        return false;
    }
    const wchar_t letter = path[at];
    return (letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z');
}

// Skips `count` path components from `at`, each with the separator after it when present.
std::size_t skip_components(std::wstring_view path, std::size_t at, int count) {
    for (int i = 0; i < count && at < path.size(); ++i) {
        while (at < path.size() && !is_separator(path[at])) {
            ++at;
        }
        if (at < path.size()) {
            ++at;
        }
    }
    return at;
}

std::size_t with_separator(std::wstring_view path, std::size_t at) {
    return at < path.size() && is_separator(path[at]) ? at + 1 : at;
}

// Length of the part that no parent can be taken from: "C:\", "C:", "\", "\\server\share\",
// "\\?\C:\", "\\?\UNC\server\share\".
std::size_t root_length(std::wstring_view path) {
    const bool two_separators = path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
    if (two_separators && path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') &&
        is_separator(path[3])) {
        if (path.substr(4, 4) == L"UNC\\") {
            return skip_components(path, 8, 2);
        }
        if (is_drive(path, 4)) {
            return with_separator(path, 6);
        }
        return skip_components(path, 4, 1);
    }
    if (two_separators) {
        return skip_components(path, 2, 2);
    }
    if (is_drive(path, 0)) {
        return with_separator(path, 2);
    }
    return with_separator(path, 0);
}

} // namespace

std::optional<std::wstring> parent_directory(std::wstring_view path) {
    const std::size_t root = root_length(path);
    std::size_t end = path.size();
    while (end > root && is_separator(path[end - 1])) {
        --end;
    }
    if (end == root) {
        return std::nullopt;
    }
    while (end > root && !is_separator(path[end - 1])) {
        --end;
    }
    while (end > root && is_separator(path[end - 1])) {
        --end;
    }
    return std::wstring(path.substr(0, end));
}

} // namespace kestrune::child
