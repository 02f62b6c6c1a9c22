#include "routes/addresses/ipv6_address.h"

#include <algorithm>
#include <charconv>

namespace kestrune::routes {

std::optional<Ipv6Address> Ipv6Address::from_hex(std::string_view digits) {
    if (digits.size() != 32) {
        return std::nullopt;
    }
    Bytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char* first = digits.data() + 2 * i;
        // Both digits or nothing: from_chars alone would take "f" out of "fg".
        const auto [end, error] = std::from_chars(first, first + 2, bytes[i], 16);
        if (error != std::errc() || end != first + 2) {
            return std::nullopt;
        }
    }
    return Ipv6Address(bytes);
}

bool Ipv6Address::is_ipv4_mapped() const {
    return std::all_of(bytes_.begin(), bytes_.begin() + 10, [](auto b) { return b == 0; }) &&
           bytes_[10] == 0xff && bytes_[11] == 0xff;
}

bool Ipv6Address::in_prefix(const Ipv6Address& prefix, unsigned length) const {
    length = std::min(length, 128u);
    const unsigned whole = length / 8;
    if (!std::equal(bytes_.begin(), bytes_.begin() + whole, prefix.bytes_.begin())) {
        return false;
    }
    const unsigned bits = length % 8;
    if (bits == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xff << (8 - bits));
    return (bytes_[whole] & mask) == (prefix.bytes_[whole] & mask);
}

std::string Ipv6Address::to_string() const {
    std::array<unsigned, 8> groups{};
    for (std::size_t i = 0; i < groups.size(); ++i) {
        groups[i] = static_cast<unsigned>(bytes_[2 * i] << 8 | bytes_[2 * i + 1]);
    }
    // The longest run of zero groups, the first of equal ones; a single zero group stays "0".
    std::size_t best_start = groups.size(), best_length = 0;
    for (std::size_t i = 0; i < groups.size();) {
        std::size_t j = i;
        while (j < groups.size() && groups[j] == 0) {
            ++j;
        }
        if (j - i > best_length && j - i >= 2) {
            best_start = i;
            best_length = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i == best_start) {
            text += "::";
            i += best_length - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') {
            text.push_back(':');
        }
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = groups[i] >> shift & 0xf;
            if (digit != 0 || started || shift == 0) {
                text.push_back(DIGITS[digit]);
                started = true;
            }
        }
    }
    return text;
}

} // namespace kestrune::routes
