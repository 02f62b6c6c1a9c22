#include "routes/addresses/public_address.h"

#include <algorithm>
#include <iterator>

namespace kestrune::routes {
namespace {

struct Block {
    Ipv6Address::Bytes prefix;
    unsigned length;
};

// Outside 2000::/3 every address but the unique local and NAT64 ones is special, which takes in
// the registry's other entries: ::/128 unspecified, ::1/128 loopback, ::ffff:0:0/96 IPv4-mapped,
// 64:ff9b:1::/48 local translation, 100::/64 discard-only, 5f00::/16 SRv6 SIDs, fe80::/10
// link-local, and multicast ff00::/8 beside them.
// The blocks of the IANA IPv6 Special-Purpose Address Registry that lie inside 2000::/3, none
// of them a place an RDP client connects from. The registry's globally reachable entries in
// 2001::/23 are anycast services (PCP, TURN, AS112, AMT) and ORCHID identifiers, never clients.
constexpr Block SPECIAL_IN_GLOBAL_SPACE[] = {
    {{0x20, 0x01}, 23},             // 2001::/23 IETF protocol assignments, Teredo 2001::/32 in it
    {{0x20, 0x01, 0x0d, 0xb8}, 32}, // 2001:db8::/32 documentation
    {{0x20, 0x02}, 16},             // 2002::/16 6to4, a tunnel's addresses
    {{0x3f, 0xff}, 20},             // 3fff::/20 documentation
};
constexpr Block GLOBAL_UNICAST{{0x20}, 3};           // 2000::/3
constexpr Block NAT64{{0x00, 0x64, 0xff, 0x9b}, 96}; // 64:ff9b::/96
constexpr Block UNIQUE_LOCAL{{0xfc}, 7};             // fc00::/7

bool in_block(const Ipv6Address& address, const Block& block) {
    return address.in_prefix(Ipv6Address(block.prefix), block.length);
}

} // namespace

AddressKind address_kind(Ipv4Address address) {
    const auto& octets = address.octets();
    const unsigned o1 = octets[0], o2 = octets[1], o3 = octets[2];
    const bool special = o1 == 0 ||                              // "this network", 0.0.0.0 too
                         o1 == 127 ||                            // loopback
                         (o1 == 169 && o2 == 254) ||             // link-local
                         o1 >= 224 ||                            // multicast, reserved, broadcast
                         (o1 == 192 && o2 == 0 && o3 == 0) ||    // IETF protocol assignments
                         (o1 == 192 && o2 == 0 && o3 == 2) ||    // documentation
                         (o1 == 198 && o2 == 51 && o3 == 100) || // documentation
                         (o1 == 203 && o2 == 0 && o3 == 113) ||  // documentation
                         (o1 == 198 && (o2 == 18 || o2 == 19));  // benchmarking
    if (special) {
        return AddressKind::special;
    }
    const bool private_use = o1 == 10 || (o1 == 172 && o2 >= 16 && o2 <= 31) ||
                             (o1 == 192 && o2 == 168) ||
                             (o1 == 100 && o2 >= 64 && o2 <= 127); // shared address space
    return private_use ? AddressKind::private_use : AddressKind::global;
}

AddressKind address_kind(const Ipv6Address& address) {
    if (in_block(address, UNIQUE_LOCAL)) {
        return AddressKind::private_use;
    }
    if (in_block(address, NAT64)) {
        return AddressKind::global;
    }
    if (!in_block(address, GLOBAL_UNICAST) ||
        std::any_of(std::begin(SPECIAL_IN_GLOBAL_SPACE), std::end(SPECIAL_IN_GLOBAL_SPACE),
                    [&](const Block& block) { return in_block(address, block); })) {
        return AddressKind::special;
    }
    return AddressKind::global;
}

} // namespace kestrune::routes
