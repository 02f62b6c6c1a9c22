#include "routes/ipv6_route_table.h"

// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <algorithm>
#include <map>

#include "win/os_error_text.h"

namespace kestrune::routes {
namespace {

// GetIpInterfaceEntry is missing from Wine 8's iphlpapi, and a static import of it would keep
// the executable from loading there at all; it is looked up when first needed.
using GetIpInterfaceEntryFunction = NETIO_STATUS(WINAPI*)(PMIB_IPINTERFACE_ROW);

GetIpInterfaceEntryFunction interface_entry_function() {
    static const auto function = [] {
        const HMODULE iphlpapi = GetModuleHandleW(L"iphlpapi.dll");
        return iphlpapi == nullptr
                   ? nullptr
                   : reinterpret_cast<GetIpInterfaceEntryFunction>(
                         reinterpret_cast<void*>(GetProcAddress(iphlpapi, "GetIpInterfaceEntry")));
    }();
    return function;
}

// Windows compares routes by the route's metric plus its interface's. An interface whose entry
// cannot be read counts with its route metric alone.
std::uint64_t interface_metric(const NET_LUID& luid) {
    const GetIpInterfaceEntryFunction get_entry = interface_entry_function();
    if (get_entry == nullptr) {
        return 0;
    }
    MIB_IPINTERFACE_ROW row;
    ZeroMemory(&row, sizeof(row));
    row.Family = AF_INET6;
    row.InterfaceLuid = luid;
    return get_entry(&row) == NO_ERROR ? row.Metric : 0;
}

Ipv6Address address_of(const SOCKADDR_INET& address) {
    Ipv6Address::Bytes bytes{};
    std::copy_n(address.Ipv6.sin6_addr.s6_addr, bytes.size(), bytes.begin());
    return Ipv6Address(bytes);
}

// Teredo, 6to4, ISATAP and IP-HTTPS are IF_TYPE_TUNNEL; Wintun and TAP-style TUN adapters, a
// proxy's own among them, are IF_TYPE_PROP_VIRTUAL. The type is part of the interface's LUID.
bool is_tunnel(const NET_LUID& luid) {
    return luid.Info.IfType == IF_TYPE_TUNNEL || luid.Info.IfType == IF_TYPE_PROP_VIRTUAL;
}

} // namespace

Result<Ipv6RouteTable> read_ipv6_route_table() {
    PMIB_IPFORWARD_TABLE2 table = nullptr;
    const NETIO_STATUS code = GetIpForwardTable2(AF_INET6, &table);
    if (code != NO_ERROR) {
        return fail("GetIpForwardTable2 failed: " + win::code_text(code));
    }
    Ipv6RouteTable routes;
    routes.reserve(table->NumEntries);
    std::map<std::uint64_t, std::uint64_t> metrics; // by LUID, one lookup per interface
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = table->Table[i];
        auto metric = metrics.find(row.InterfaceLuid.Value);
        if (metric == metrics.end()) {
            metric =
                metrics.emplace(row.InterfaceLuid.Value, interface_metric(row.InterfaceLuid)).first;
        }
        routes.push_back({address_of(row.DestinationPrefix.Prefix),
                          row.DestinationPrefix.PrefixLength, address_of(row.NextHop),
                          row.InterfaceIndex, row.Metric + metric->second,
                          is_tunnel(row.InterfaceLuid)});
    }
    FreeMibTable(table);
    return routes;
}

} // namespace kestrune::routes
