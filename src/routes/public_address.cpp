#include "routes/public_address.h"

namespace kestrune::routes {

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

} // namespace kestrune::routes
