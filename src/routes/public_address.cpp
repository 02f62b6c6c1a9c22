#include "routes/public_address.h"

namespace kestrune::routes {

bool is_public_ipv4(Ipv4Address address) {
    const auto [o1, o2, o3, o4] = address.octets();
    const bool excluded = (o1 == 0 && o2 == 0 && o3 == 0 && o4 == 0) || // only 0.0.0.0 itself
                          o1 == 127 ||                                  // loopback
                          o1 == 10 ||                                   // private
                          (o1 == 172 && o2 >= 16 && o2 <= 31) ||        // private
                          (o1 == 192 && o2 == 168) ||                   // private
                          (o1 == 169 && o2 == 254) ||                   // link-local
                          o1 >= 224 || // multicast, reserved and the broadcast address
                          (o1 == 100 && o2 >= 64 && o2 <= 127) || // shared address space
                          (o1 == 192 && o2 == 0 && o3 == 0) ||    // IETF protocol assignments
                          (o1 == 192 && o2 == 0 && o3 == 2) ||    // documentation
                          (o1 == 198 && o2 == 51 && o3 == 100) || // documentation
                          (o1 == 203 && o2 == 0 && o3 == 113) ||  // documentation
                          (o1 == 198 && (o2 == 18 || o2 == 19));  // benchmarking
    return !excluded;
}

} // namespace kestrune::routes
