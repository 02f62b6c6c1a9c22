#pragma once
// The system's routing table (GetIpForwardTable2) with what each row's interface says of
// itself, for the copies of route_table.h. Shared by the IPv4 reading here and the IPv6 one of
// ipv6_route_table.cpp.

// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <cstdint>
#include <functional>

#include "routes/addresses/ipv4_address.h"
#include "routes/physical/route_table.h"
#include "win/result.h"

namespace kestrune::routes {

struct InterfaceState {
    std::uint64_t metric = 0; // the interface's, added to each route's
    bool tunnel = false;
    // Up, and both of its entries could be read; an interface that cannot be read is never
    // taken for the physical one.
    bool connected = false;
};

// Calls `row` for each route of `family` ("GetIpForwardTable2 failed: <text>" otherwise).
Status for_each_system_route(
    ADDRESS_FAMILY family,
    const std::function<void(const MIB_IPFORWARD_ROW2&, const InterfaceState&)>& row);

Result<RouteTable<Ipv4Address>> read_ipv4_route_table();

} // namespace kestrune::routes
