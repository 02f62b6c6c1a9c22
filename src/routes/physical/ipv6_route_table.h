#pragma once
// The system's IPv6 routing table, copied for the decisions of ipv6_routes.h. The service reads
// it with GetIpForwardTable2. Wine returns no IPv6 rows there, so the network-namespace tests
// build the service with a source of their own that reads the namespace's table instead; both
// define this one function, and each executable links exactly one of them.

#include "routes/physical/ipv6_routes.h"
#include "win/result.h"

namespace kestrune::routes {

Result<Ipv6RouteTable> read_ipv6_route_table();

} // namespace kestrune::routes
