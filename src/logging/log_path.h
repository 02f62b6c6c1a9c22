#pragma once
// Where the log lives, decided without the OS: the path-joining rule, the data directory from
// the value of "PROGRAMDATA", and the directories a path consists of. The same rules serve
// UTF-8 text natively and UTF-16 (std::u16string, std::wstring) on Windows.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::logging {

inline constexpr std::u16string_view DEFAULT_PROGRAMDATA = u"C:\\ProgramData";
inline constexpr std::u16string_view DATA_DIRECTORY_NAME = u"KestruneConnect";

template <class CharT> constexpr bool is_separator(CharT c) {
    return c == '\\' || c == '/';
}

// "C:" alone: a drive letter and a colon, nothing else.
template <class CharT> bool is_bare_drive(std::basic_string_view<CharT> path) {
    if (path.size() != 2 || path[1] != ':') {
        return false;
    }
    const CharT letter = path[0];
    return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
}

// base + "\" + name; no separator when the base is empty, already ends in "\" or "/", or is a
// bare drive ("D:" + "x" is the drive-relative "D:x").
template <class String>
String join_path(const String& base, std::basic_string_view<typename String::value_type> name) {
    using CharT = typename String::value_type;
    const std::basic_string_view<CharT> view(base);
    String out = base;
    if (!view.empty() && !is_separator(view.back()) && !is_bare_drive(view)) {
        out.push_back(CharT('\\'));
    }
    out.append(name);
    return out;
}

// The data directory: the variable's value when it is set (an empty value included), else
// C:\ProgramData; joined with KestruneConnect.
std::u16string log_directory_from(const std::optional<std::u16string>& programdata);

// Length of the part of `path` that is never created: "C:\" or "C:" (drive), "\" (root of
// the current drive), "\\server\share\" (UNC), "\\?\C:\" or "\\?\UNC\server\share\"
// (verbatim). 0 for a relative path.
template <class CharT> std::size_t root_length(std::basic_string_view<CharT> path) {
    auto skip_component = [&](std::size_t from) {
        while (from < path.size() && !is_separator(path[from])) {
            ++from;
        }
        return from;
    };
    auto skip_separator = [&](std::size_t at) {
        return at < path.size() && is_separator(path[at]) ? at + 1 : at;
    };
    if (path.size() >= 4 && is_separator(path[0]) && is_separator(path[1]) &&
        (path[2] == '?' || path[2] == '.') && is_separator(path[3])) {
        const std::basic_string_view<CharT> rest = path.substr(4);
        if (rest.size() >= 4 && (rest[0] == 'U' || rest[0] == 'u') &&
            (rest[1] == 'N' || rest[1] == 'n') && (rest[2] == 'C' || rest[2] == 'c') &&
            is_separator(rest[3])) {
            const std::size_t server = skip_component(8);
            return skip_separator(skip_component(skip_separator(server)));
        }
        return skip_separator(skip_component(4));
    }
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        const std::size_t server = skip_component(2);
        return skip_separator(skip_component(skip_separator(server)));
    }
    if (path.size() >= 2 && is_bare_drive(path.substr(0, 2))) {
        return skip_separator(2);
    }
    return skip_separator(0);
}

// Every directory that `path` names, outermost first, without its root: C:\a\b gives C:\a and
// C:\a\b. Empty components (doubled or trailing separators) give nothing of their own.
template <class CharT>
std::vector<std::basic_string<CharT>> directory_chain(std::basic_string_view<CharT> path) {
    std::vector<std::basic_string<CharT>> chain;
    std::size_t at = root_length(path);
    while (at < path.size()) {
        std::size_t end = at;
        while (end < path.size() && !is_separator(path[end])) {
            ++end;
        }
        if (end > at) {
            chain.emplace_back(path.substr(0, end));
        }
        at = end + 1;
    }
    return chain;
}

} // namespace kestrune::logging
