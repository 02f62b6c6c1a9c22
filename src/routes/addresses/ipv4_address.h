#pragma once
// An IPv4 address as the routing and TCP tables hold it: four bytes in network order. Ordering
// compares the octets first to last, which is the big-endian numeric order, so sets of
// addresses run in dotted-decimal order.

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
#include <string>

namespace kestrune::routes {

class Ipv4Address {
  public:
    constexpr Ipv4Address() = default;
    constexpr Ipv4Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
        : octets_{a, b, c, d} {}

    // A 32-bit table field (dwRemoteAddr, dwForwardNextHop, ...) whose bytes in memory are the
    // address in network order; the bytes are taken as they lie, whatever the host's order.
    static Ipv4Address from_network_order(std::uint32_t stored) {
        Ipv4Address address;
        std::memcpy(address.octets_.data(), &stored, sizeof(stored));
        return address;
    }
    // The inverse: the 32-bit value to store into such a field.
    std::uint32_t network_order() const {
        std::uint32_t stored = 0;
        std::memcpy(&stored, octets_.data(), sizeof(stored));
        return stored;
    }

    const std::array<std::uint8_t, 4>& octets() const { return octets_; }
    std::string to_string() const;

    friend auto operator<=>(const Ipv4Address&, const Ipv4Address&) = default;

  private:
    std::array<std::uint8_t, 4> octets_{};
};

} // namespace kestrune::routes
