#include "routes/addresses/ipv4_address.h"

namespace kestrune::routes {

std::string Ipv4Address::to_string() const {
    std::string text;
    for (std::size_t i = 0; i < octets_.size(); ++i) {
        if (i != 0) {
            text.push_back('.');
        }
        text += std::to_string(octets_[i]);
    }
    return text;
}

} // namespace kestrune::routes
