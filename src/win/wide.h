#pragma once
// UTF-8 <-> the platform's wide strings (UTF-16 wchar_t on Windows).

#include <optional>
#include <string>
#include <string_view>

#include "win/utf.h"

namespace kestrune::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows only: wchar_t is UTF-16");

inline std::wstring widen(std::string_view text) {
    const std::u16string u16 = utf8_to_utf16(text);
    return std::wstring(u16.begin(), u16.end());
}

inline std::optional<std::string> narrow(std::wstring_view text) {
    return utf16_to_utf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

// For texts that must always be shown: unpaired surrogates become U+FFFD.
inline std::string narrow_lossy(std::wstring_view text) {
    std::u16string copy(text.begin(), text.end());
    for (std::size_t i = 0; i < copy.size(); ++i) {
        const char16_t c = copy[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < copy.size() && copy[i + 1] >= 0xDC00 && copy[i + 1] <= 0xDFFF) {
            ++i;
        } else if (high || low) {
            copy[i] = 0xFFFD;
        }
    }
    return *utf16_to_utf8(copy);
}

} // namespace kestrune::win
