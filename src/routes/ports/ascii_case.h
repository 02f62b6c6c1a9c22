#pragma once
// Case-insensitive comparison of ASCII text, as configuration keywords, registry key names and
// Windows file names compare; other bytes compare as they are.

#include <algorithm>
#include <string_view>

namespace kestrune::routes {

constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b,
                              [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

} // namespace kestrune::routes
