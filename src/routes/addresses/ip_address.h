#pragma once
// An RDP peer's address of either family. Every IPv4 address orders before every IPv6 one, and
// within a family the address's own order holds, so a set of peers runs IPv4 first.

#include <compare>
#include <cstdint>
#include <string>
#include <variant>

#include "routes/addresses/ipv4_address.h"
#include "routes/addresses/ipv6_address.h"

namespace kestrune::routes {

class IpAddress {
  public:
    constexpr IpAddress() = default;
    // Implicit: an address of either family is an IpAddress.
    constexpr IpAddress(Ipv4Address address) : address_(address) {}
    constexpr IpAddress(Ipv6Address address) : address_(address) {}
    // The IPv4 address a.b.c.d, as Ipv4Address takes it.
    constexpr IpAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
        : address_(Ipv4Address(a, b, c, d)) {}

    bool is_ipv6() const { return std::holds_alternative<Ipv6Address>(address_); }
    // Only for an address of that family.
    const Ipv4Address& ipv4() const { return std::get<Ipv4Address>(address_); }
    const Ipv6Address& ipv6() const { return std::get<Ipv6Address>(address_); }

    // Dotted decimal, or the canonical IPv6 text of RFC 5952.
    std::string to_string() const { return is_ipv6() ? ipv6().to_string() : ipv4().to_string(); }

    friend auto operator<=>(const IpAddress&, const IpAddress&) = default;

  private:
    std::variant<Ipv4Address, Ipv6Address> address_;
};

} // namespace kestrune::routes
