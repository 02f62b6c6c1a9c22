#include "routes/physical/system_route_table.h"

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

// Teredo, 6to4, ISATAP and IP-HTTPS are IF_TYPE_TUNNEL; Wintun and TAP-style TUN adapters, a
// proxy's own among them, are IF_TYPE_PROP_VIRTUAL. The type is part of the interface's LUID.
bool is_tunnel(const NET_LUID& luid) {
    return luid.Info.IfType == IF_TYPE_TUNNEL || luid.Info.IfType == IF_TYPE_PROP_VIRTUAL;
}

InterfaceState interface_state(ADDRESS_FAMILY family, const NET_LUID& luid) {
    InterfaceState state;
    state.tunnel = is_tunnel(luid);
    MIB_IF_ROW2 entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.InterfaceLuid = luid;
    if (GetIfEntry2(&entry) != NO_ERROR || entry.OperStatus != IfOperStatusUp ||
        entry.MediaConnectState == MediaConnectStateDisconnected) {
        return state;
    }
    // Windows compares routes by the route's metric plus its interface's. Where the call does
    // not exist (Wine) every route counts with its own metric alone, so none is preferred.
    if (const GetIpInterfaceEntryFunction get_entry = interface_entry_function()) {
        MIB_IPINTERFACE_ROW row;
        ZeroMemory(&row, sizeof(row));
        row.Family = family;
        row.InterfaceLuid = luid;
        if (get_entry(&row) != NO_ERROR || !row.Connected) {
            return state;
        }
        state.metric = row.Metric;
    }
    state.connected = true;
    return state;
}

} // namespace

Status for_each_system_route(
    ADDRESS_FAMILY family,
    const std::function<void(const MIB_IPFORWARD_ROW2&, const InterfaceState&)>& row) {
    PMIB_IPFORWARD_TABLE2 table = nullptr;
    const NETIO_STATUS code = GetIpForwardTable2(family, &table);
    if (code != NO_ERROR) {
        return fail("GetIpForwardTable2 failed: " + win::code_text(code));
    }
    std::map<std::uint64_t, InterfaceState> interfaces; // by LUID, one look per interface
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& route = table->Table[i];
        auto found = interfaces.find(route.InterfaceLuid.Value);
        if (found == interfaces.end()) {
            found = interfaces
                        .emplace(route.InterfaceLuid.Value,
                                 interface_state(family, route.InterfaceLuid))
                        .first;
        }
        row(route, found->second);
    }
    FreeMibTable(table);
    return {};
}

Result<RouteTable<Ipv4Address>> read_ipv4_route_table() {
    RouteTable<Ipv4Address> routes;
    const Status read = for_each_system_route(
        AF_INET, [&routes](const MIB_IPFORWARD_ROW2& row, const InterfaceState& state) {
            routes.push_back(
                {Ipv4Address::from_network_order(row.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr),
                 row.DestinationPrefix.PrefixLength,
                 Ipv4Address::from_network_order(row.NextHop.Ipv4.sin_addr.s_addr),
                 row.InterfaceIndex, row.Metric + state.metric, state.tunnel, state.connected});
        });
    if (!read) {
        return fail(read.error());
    }
    return routes;
}

} // namespace kestrune::routes
