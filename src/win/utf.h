#pragma once
// UTF-8 <-> UTF-16 without the OS, so the conversions are tested natively too. Code points
// above U+FFFF become surrogate pairs.

#include <optional>
#include <string>
#include <string_view>

namespace kestrune::win {

// Invalid UTF-8 sequences become U+FFFD each; the conversion itself cannot fail.
std::u16string utf8_to_utf16(std::string_view text);

// Empty when the input holds an unpaired surrogate (not valid UTF-16).
std::optional<std::string> utf16_to_utf8(std::u16string_view text);

} // namespace kestrune::win
