#include "win/os_error_text.h"

#include "win/utf.h"

namespace kestrune::win {
namespace {

bool is_space(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f' ||
           c == 0x00A0 || c == 0x3000;
}

} // namespace

std::string compose_os_error_text(std::uint32_t code, const MessageLookup& lookup) {
    std::string message;
    if (const auto* found = std::get_if<MessageFound>(&lookup)) {
        std::u16string_view text = found->text;
        while (!text.empty() && is_space(text.back())) {
            text.remove_suffix(1);
        }
        if (auto utf8 = utf16_to_utf8(text)) {
            message = std::move(*utf8);
        } else {
            message =
                "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
        }
    } else {
        const auto& failed = std::get<MessageFailed>(lookup);
        message = "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
                  std::to_string(failed.format_error) + ")";
    }
    return message + " (os error " + std::to_string(code) + ")";
}

} // namespace kestrune::win
