#include "routes/ports/glob_pattern.h"

#include "routes/ports/ascii_case.h"

#include <optional>
#include <utility>

namespace kestrune::routes {
namespace {

// The bracket expression at pattern[at] ('['): whether `c` is in it, and the index after it;
// nullopt when it is never closed, and the '[' is then an ordinary character.
std::optional<std::pair<bool, std::size_t>> bracket(std::string_view pattern, std::size_t at,
                                                    char c) {
    std::size_t i = at + 1;
    const bool negated = i < pattern.size() && pattern[i] == '!';
    i += negated ? 1 : 0;
    bool found = false;
    for (bool first = true; i < pattern.size() && (first || pattern[i] != ']'); first = false) {
        char low = pattern[i];
        char high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = pattern[i + 2];
            i += 3;
        } else {
            ++i;
        }
        found =
            found || (ascii_lower(c) >= ascii_lower(low) && ascii_lower(c) <= ascii_lower(high));
    }
    if (i >= pattern.size()) {
        return std::nullopt;
    }
    return std::pair(found != negated, i + 1);
}

} // namespace

bool glob_match(std::string_view pattern, std::string_view name) {
    if (name.starts_with('.') && !pattern.starts_with('.')) {
        return false;
    }
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t star = pattern.npos; // the last '*' seen, retried with one more character
    std::size_t star_n = 0;
    while (n < name.size()) {
        if (p < pattern.size()) {
            const char c = pattern[p];
            if (c == '*') {
                star = p++;
                star_n = n;
                continue;
            }
            if (c == '[') {
                if (const auto in = bracket(pattern, p, name[n])) {
                    if (in->first) {
                        p = in->second;
                        ++n;
                        continue;
                    }
                } else if (name[n] == '[') {
                    ++p;
                    ++n;
                    continue;
                }
            } else if (c == '?' || ascii_lower(c) == ascii_lower(name[n])) {
                ++p;
                ++n;
                continue;
            }
        }
        if (star == pattern.npos) {
            return false;
        }
        p = star + 1;
        n = ++star_n;
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

} // namespace kestrune::routes
