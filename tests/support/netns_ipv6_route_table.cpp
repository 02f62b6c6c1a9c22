// The IPv6 routing table for the network-namespace tests: Wine returns no IPv6 rows from
// GetIpForwardTable2, so the service built for those tests reads the Linux table of the namespace
// it runs in, which Wine shows as Z:\proc\net\ipv6_route, and the interface indexes from
// Z:\proc\net\if_inet6 (Wine's index of an interface is the Linux one). Never in the shipped
// service.
//
// ipv6_route rows: destination, prefix length, source, source prefix length, next hop, metric,
// reference count, use count, flags, device; all but the device in hexadecimal.

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "routes/physical/ipv6_route_table.h"

namespace kestrune::routes {
namespace {

constexpr unsigned long RTF_REJECT = 0x0200; // "unreachable" and "prohibit" routes

std::map<std::string, std::uint32_t> interface_indexes() {
    std::map<std::string, std::uint32_t> indexes;
    std::ifstream file(R"(Z:\proc\net\if_inet6)");
    std::string address, index, prefix, scope, flags, device;
    while (file >> address >> index >> prefix >> scope >> flags >> device) {
        indexes[device] = static_cast<std::uint32_t>(std::stoul(index, nullptr, 16));
    }
    return indexes;
}

} // namespace

Result<Ipv6RouteTable> read_ipv6_route_table() {
    std::ifstream file(R"(Z:\proc\net\ipv6_route)");
    if (!file) {
        return fail("cannot read Z:\\proc\\net\\ipv6_route");
    }
    const std::map<std::string, std::uint32_t> indexes = interface_indexes();
    Ipv6RouteTable table;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string destination, length, source, source_length, next_hop, metric, refs, use, flags,
            device;
        if (!(fields >> destination >> length >> source >> source_length >> next_hop >> metric >>
              refs >> use >> flags >> device)) {
            continue;
        }
        const auto to = Ipv6Address::from_hex(destination);
        const auto via = Ipv6Address::from_hex(next_hop);
        const auto index = indexes.find(device);
        if (!to || !via || index == indexes.end() ||
            (std::stoul(flags, nullptr, 16) & RTF_REJECT)) {
            continue;
        }
        table.push_back({*to, static_cast<unsigned>(std::stoul(length, nullptr, 16)), *via,
                         index->second, std::stoul(metric, nullptr, 16), false});
    }
    return table;
}

} // namespace kestrune::routes
