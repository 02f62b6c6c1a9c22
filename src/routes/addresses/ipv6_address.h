#pragma once
// An IPv6 address as the TCP and routing tables hold it: sixteen bytes in network order.
// Ordering compares the bytes first to last, which is the numeric order.

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "routes/addresses/ipv4_address.h"

namespace kestrune::routes {

class Ipv6Address {
  public:
    using Bytes = std::array<std::uint8_t, 16>;

    constexpr Ipv6Address() = default;
    constexpr explicit Ipv6Address(const Bytes& bytes) : bytes_(bytes) {}

    // Text as the test suites and Linux's /proc/net tables write it: 32 hexadecimal digits,
    // no separators. Nothing else parses: the service itself never reads addresses as text.
    static std::optional<Ipv6Address> from_hex(std::string_view digits);

    const Bytes& bytes() const { return bytes_; }
    // ::ffff:a.b.c.d, as a dual-stack socket lists an IPv4 peer.
    bool is_ipv4_mapped() const;
    Ipv4Address mapped_ipv4() const { return {bytes_[12], bytes_[13], bytes_[14], bytes_[15]}; }
    // Whether the first `length` bits equal those of `prefix`.
    bool in_prefix(const Ipv6Address& prefix, unsigned length) const;

    // The canonical text of RFC 5952: lower-case hexadecimal without leading zeros, the longest
    // run of two or more zero groups (the first of equal runs) shortened to "::".
    std::string to_string() const;

    friend auto operator<=>(const Ipv6Address&, const Ipv6Address&) = default;

  private:
    Bytes bytes_{};
};

} // namespace kestrune::routes
