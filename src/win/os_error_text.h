#pragma once
// How an OS error code is shown: the system's message, trailing white space removed, then
// " (os error N)"; or one of two fallback texts when the message cannot be had. The
// composition is portable; fetching the message (FormatMessageW) is in os_error.h.

#include <cstdint>
#include <string>
#include <variant>

namespace kestrune::win {

struct MessageFound {
    std::u16string text; // as FormatMessageW produced it, possibly with trailing CR LF
};
struct MessageFailed {
    std::uint32_t format_error; // GetLastError() after FormatMessageW failed
};
using MessageLookup = std::variant<MessageFound, MessageFailed>;

std::string compose_os_error_text(std::uint32_t code, const MessageLookup& lookup);

// Bare result codes of interfaces that return them directly (GetBestRoute,
// GetExtendedTcpTable, the dispatcher's GetLastError) are shown as unsigned decimal only.
inline std::string code_text(std::uint32_t code) {
    return std::to_string(code);
}

} // namespace kestrune::win
