#pragma once
// Builds a command line that the child's standard argument parsing (CommandLineToArgvW rules)
// splits back into exactly the given arguments, and splits one the same way. Only space, tab,
// quote and backslash matter, so the same code serves UTF-8 text natively and UTF-16 wide
// strings on Windows.

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

// The arguments a program started with `line` sees, by the C runtime's documented rules: the
// program name ends at the first space or tab outside quotes, its backslashes literal; in the
// arguments 2n backslashes before a quote are n and the quote opens or closes a quoted part,
// 2n+1 are n and a literal quote, other backslashes are literal, and "" inside a quoted part
// is a literal quote.
template <class CharT>
std::vector<std::basic_string<CharT>> split_command_line(std::basic_string_view<CharT> line) {
    const CharT QUOTE = '"', BACKSLASH = '\\';
    const auto blank = [](CharT c) { return c == ' ' || c == '\t'; };
    std::vector<std::basic_string<CharT>> args(1);
    std::size_t i = 0;
    for (bool quoted = false; i < line.size() && (quoted || !blank(line[i])); ++i) {
        if (line[i] == QUOTE) {
            quoted = !quoted;
        } else {
            args[0].push_back(line[i]);
        }
    }
    for (;;) {
        while (i < line.size() && blank(line[i])) {
            ++i;
        }
        if (i == line.size()) {
            return args;
        }
        std::basic_string<CharT>& arg = args.emplace_back();
        for (bool quoted = false; i < line.size() && (quoted || !blank(line[i]));) {
            std::size_t backslashes = 0;
            for (; i < line.size() && line[i] == BACKSLASH; ++i) {
                ++backslashes;
            }
            if (i == line.size() || line[i] != QUOTE) {
                arg.append(backslashes, BACKSLASH);
                if (i < line.size() && (quoted || !blank(line[i]))) {
                    arg.push_back(line[i++]);
                }
                continue;
            }
            arg.append(backslashes / 2, BACKSLASH);
            if (backslashes % 2 == 1 || (quoted && i + 1 < line.size() && line[i + 1] == QUOTE)) {
                arg.push_back(QUOTE);
                i += backslashes % 2 == 1 ? 1 : 2;
            } else {
                quoted = !quoted;
                ++i;
            }
        }
    }
}

} // namespace kestrune::child
