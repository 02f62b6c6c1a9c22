#pragma once
// Builds a command line that the child's standard argument parsing (CommandLineToArgvW rules)
// splits back into exactly the given arguments. Only space, tab, quote and backslash matter,
// so the same code serves UTF-8 text natively and UTF-16 wide strings on Windows.

#include <string>
#include <string_view>
#include <vector>

namespace kestrune::child {

template <class CharT>
void append_argument(std::basic_string<CharT>& out, std::basic_string_view<CharT> arg) {
    const CharT SPACE = ' ', TAB = '\t', QUOTE = '"', BACKSLASH = '\\';
    const bool quoted = arg.empty() || arg.find(SPACE) != arg.npos || arg.find(TAB) != arg.npos;
    if (quoted) {
        out.push_back(QUOTE);
    }
    std::size_t backslashes = 0;
    for (const CharT c : arg) {
        if (c == BACKSLASH) {
            ++backslashes;
            continue;
        }
        if (c == QUOTE) {
            // Backslashes before a quote are doubled, then one more escapes the quote itself.
            out.append(backslashes * 2 + 1, BACKSLASH);
        } else {
            out.append(backslashes, BACKSLASH);
        }
        backslashes = 0;
        out.push_back(c);
    }
    // Trailing backslashes would escape the closing quote: double them, but only when quoted.
    out.append(quoted ? backslashes * 2 : backslashes, BACKSLASH);
    if (quoted) {
        out.push_back(QUOTE);
    }
}

// The executable is always quoted and copied unchanged (a path holds no quote).
template <class CharT>
std::basic_string<CharT> build_command_line(std::basic_string_view<CharT> executable,
                                            const std::vector<std::basic_string<CharT>>& args) {
    std::basic_string<CharT> out;
    out.push_back('"');
    out.append(executable);
    out.push_back('"');
    for (const auto& arg : args) {
        out.push_back(' ');
        append_argument<CharT>(out, arg);
    }
    return out;
}

} // namespace kestrune::child
