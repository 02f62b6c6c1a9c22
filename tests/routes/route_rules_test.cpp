#include <gtest/gtest.h>

#include "routes/commands/route_command.h"
#include "routes/physical/best_route.h"
#include "routes/physical/ipv6_routes.h"
#include "routes/physical/physical_route_watch.h"

namespace kestrune::routes {
namespace {

const PhysicalRoute PHYSICAL{{192, 168, 1, 1}, 12};
const Ipv4Address PEER{198, 51, 100, 20};
const Ipv4Address HOST_MASK{255, 255, 255, 255};

TEST(PhysicalRouteFromBest, TakesNextHopAndInterfaceOfTheRow) {
    const BestRoute row{{0, 0, 0, 0}, {0, 0, 0, 0}, {10, 77, 0, 1}, 7};
    const auto route = physical_route_from_best(0, row);
    ASSERT_TRUE(route) << route.error();
    EXPECT_EQ(*route, (PhysicalRoute{{10, 77, 0, 1}, 7}));
}

TEST(PhysicalRouteFromBest, Failures) {
    EXPECT_EQ(physical_route_from_best(1232, {}).error(), "GetBestRoute failed: 1232");
    EXPECT_EQ(physical_route_from_best(0xC0000001, {}).error(), "GetBestRoute failed: 3221225473");
    // Directly attached (next hop 0), or no interface.
    EXPECT_EQ(physical_route_from_best(0, {{8, 8, 8, 0}, {255, 255, 255, 0}, {}, 3}).error(),
              "physical IPv4 default route has no gateway");
    EXPECT_EQ(physical_route_from_best(0, {{}, {}, {10, 0, 0, 1}, 0}).error(),
              "physical IPv4 default route has no gateway");
}

// A best route row and what the rule under test makes of it.
struct Case {
    const char* what;
    BestRoute row;
    bool expected;
};

TEST(HostRouteFromBest, OnlyAHostRouteThroughGatewayAndInterfaceCounts) {
    const Case cases[] = {
        {"host route through the physical route", {PEER, HOST_MASK, PHYSICAL.gateway, 12}, true},
        {"the default route", {{}, {}, PHYSICAL.gateway, 12}, false},
        {"a /24 through the gateway",
         {{198, 51, 100, 0}, {255, 255, 255, 0}, PHYSICAL.gateway, 12},
         false},
        {"host route on another interface", {PEER, HOST_MASK, PHYSICAL.gateway, 13}, false},
        {"host route through another gateway", {PEER, HOST_MASK, {192, 168, 1, 2}, 12}, false},
        {"host route for another address",
         {{198, 51, 100, 21}, HOST_MASK, PHYSICAL.gateway, 12},
         false},
    };
    for (const Case& c : cases) {
        const auto in_place = host_route_from_best(PEER, PHYSICAL, 0, c.row);
        ASSERT_TRUE(in_place) << c.what;
        EXPECT_EQ(*in_place, c.expected) << c.what;
    }
    EXPECT_EQ(host_route_from_best(PEER, PHYSICAL, 1168, {}).error(),
              "GetBestRoute(198.51.100.20) failed: 1168");
}

TEST(ReachedByDefaultFromBest, DefaultHalfSpaceOrOwnHostRouteOnly) {
    const Ipv4Address peer{172, 20, 0, 5};
    const Case cases[] = {
        {"the physical default route", {{}, {}, PHYSICAL.gateway, 12}, true},
        {"the proxy's 128.0.0.0/1", {{128, 0, 0, 0}, {128, 0, 0, 0}, {}, 30}, true},
        {"its host route through the physical route",
         {peer, HOST_MASK, PHYSICAL.gateway, 12},
         true},
        {"a VPN's 172.16.0.0/12", {{172, 16, 0, 0}, {255, 240, 0, 0}, {10, 8, 0, 1}, 9}, false},
        {"its own subnet", {{172, 20, 0, 0}, {255, 255, 0, 0}, {}, 12}, false},
        {"a host route through an overlay", {peer, HOST_MASK, {100, 64, 0, 1}, 40}, false},
    };
    for (const Case& c : cases) {
        const auto reached = reached_by_default_from_best(peer, PHYSICAL, 0, c.row);
        ASSERT_TRUE(reached) << c.what;
        EXPECT_EQ(*reached, c.expected) << c.what;
    }
    EXPECT_EQ(reached_by_default_from_best(peer, PHYSICAL, 1168, {}).error(),
              "GetBestRoute(172.20.0.5) failed: 1168");
}

TEST(RouteCommand, ExecutableUnderWindirOrTheDefault) {
    EXPECT_EQ(route_executable_path(L"D:\\Win"), L"D:\\Win\\System32\\route.exe");
    EXPECT_EQ(route_executable_path(L"D:\\Win\\"), L"D:\\Win\\System32\\route.exe");
    EXPECT_EQ(route_executable_path(L"D:/Win/"), L"D:/Win/System32\\route.exe");
    EXPECT_EQ(route_executable_path(std::nullopt), L"C:\\Windows\\System32\\route.exe");
}

TEST(RouteCommand, TimeoutNamesTheBound) {
    const Ipv4Address peer{198, 51, 100, 20};
    EXPECT_EQ(route_timeout_error("ADD", peer, std::chrono::seconds(10)),
              "route.exe ADD 198.51.100.20: route.exe did not finish within 10 seconds");
    EXPECT_EQ(route_timeout_error("DELETE", peer, std::chrono::milliseconds(1500)),
              "route.exe DELETE 198.51.100.20: route.exe did not finish within 1500 milliseconds");
}

Ipv6Address v6(std::uint16_t first, std::uint16_t last = 0) {
    Ipv6Address::Bytes bytes{};
    bytes[0] = static_cast<std::uint8_t>(first >> 8);
    bytes[1] = static_cast<std::uint8_t>(first);
    bytes[14] = static_cast<std::uint8_t>(last >> 8);
    bytes[15] = static_cast<std::uint8_t>(last);
    return Ipv6Address(bytes);
}

// A machine with two default routes (Ethernet, and Teredo with a lower metric), a ULA prefix of
// its own through another router, and a proxy's half-space routes into its TUN adapter.
TEST(Ipv6Routes, PhysicalDefaultRouteAndLongestPrefixMatch) {
    const Ipv6Address router = v6(0xfe80, 1), tun_hop{};
    Ipv6RouteTable table = {
        {{}, 0, router, 7, 281, false},
        {{}, 0, v6(0xfe80, 9), 8, 256, false}, // lower metric than the first
        {{}, 0, v6(0xfe80, 2), 9, 10, true},   // Teredo: a tunnel
        {v6(0xfd00), 16, v6(0xfe80, 3), 7, 256, false},
    };
    auto physical = physical_ipv6_route(table);
    ASSERT_TRUE(physical) << physical.error();
    EXPECT_EQ(*physical, (PhysicalRoute6{v6(0xfe80, 9), 8}));
    table.erase(table.begin() + 1);
    EXPECT_EQ(*physical_ipv6_route(table), (PhysicalRoute6{router, 7}));
    const PhysicalRoute6 route{router, 7};

    const Ipv6Address global = v6(0x2a02, 1), office = v6(0xfd00, 5), cloud = v6(0xfd10, 5);
    table.push_back({{}, 1, tun_hop, 40, 0, true}); // the proxy's ::/1 and 8000::/1
    table.push_back({v6(0x8000), 1, tun_hop, 40, 0, true});
    EXPECT_EQ(best_ipv6_route(table, global)->interface_index, 40u);
    EXPECT_FALSE(ipv6_host_route_in_place(table, global, route));
    EXPECT_TRUE(ipv6_reached_by_default(table, cloud, route));   // only the half-space route
    EXPECT_FALSE(ipv6_reached_by_default(table, office, route)); // its own /16
    table.push_back({global, 128, router, 7, 1, false});
    EXPECT_TRUE(ipv6_host_route_in_place(table, global, route));
    table.back().interface_index = 8; // through another interface: not ours
    EXPECT_FALSE(ipv6_host_route_in_place(table, global, route));
    EXPECT_FALSE(ipv6_reached_by_default({}, cloud, route)); // no route at all

    EXPECT_EQ(physical_ipv6_route({{{}, 0, router, 9, 1, true}}).error(),
              "every IPv6 default route goes through a tunnel");
    EXPECT_EQ(physical_ipv6_route({{{}, 0, router, 9, 1, false, false}}).error(),
              "no IPv6 default route");
    EXPECT_EQ(physical_ipv6_route({{{}, 0, {}, 9, 1, false}}).error(),
              "IPv6 default route has no gateway");
    // A disconnected interface, or one whose state cannot be read, is passed over however low
    // its metric; on a tie the route in use stays, whichever is listed first.
    const Ipv6RouteTable ties = {{{}, 0, v6(0xfe80, 4), 3, 0, false, false},
                                 {{}, 0, v6(0xfe80, 5), 5, 20, false},
                                 {{}, 0, v6(0xfe80, 6), 6, 20, false}};
    EXPECT_EQ(*physical_ipv6_route(ties), (PhysicalRoute6{v6(0xfe80, 5), 5}));
    EXPECT_EQ(*physical_ipv6_route(ties, PhysicalRoute6{v6(0xfe80, 6), 6}),
              (PhysicalRoute6{v6(0xfe80, 6), 6}));
}

// IPv4 by the same rules, with the proxy's routes in the table: its half-space routes are no
// default routes, and a default route through its TUN adapter is a tunnel's.
TEST(Ipv4Routes, PhysicalDefaultRouteBesideTheProxysRoutes) {
    const Ipv4Address gateway{10, 0, 0, 1}, tun{172, 19, 0, 1};
    RouteTable<Ipv4Address> table = {{{}, 1, tun, 40, 0, true},
                                     {{128, 0, 0, 0}, 1, tun, 40, 0, true},
                                     {{}, 0, tun, 40, 0, true},
                                     {{}, 0, gateway, 7, 25, false},
                                     {{10, 0, 0, 0}, 24, {}, 7, 25, false}};
    EXPECT_EQ(*physical_ipv4_route(table), (PhysicalRoute{gateway, 7}));
    // The proxy's on-link default route through an adapter not typed as a tunnel, with a lower
    // metric: no gateway to pin host routes to, so never the physical route.
    table.push_back({{}, 0, {}, 9, 5, false});
    EXPECT_EQ(*physical_ipv4_route(table), (PhysicalRoute{gateway, 7}));
    table[3].connected = false;
    EXPECT_EQ(physical_ipv4_route(table).error(), "IPv4 default route has no gateway");
    table.pop_back();
    EXPECT_EQ(physical_ipv4_route(table).error(), "every IPv4 default route goes through a tunnel");
    table.erase(table.begin() + 2);
    EXPECT_EQ(physical_ipv4_route(table).error(), "no IPv4 default route");
}

TEST(RouteCommand, Ipv6FormNamesThePrefixNextHopAndInterface) {
    const PhysicalRoute6 route{v6(0xfe80, 1), 7};
    EXPECT_EQ(route_command_arguments("ADD", v6(0x2a02, 0x10), route),
              (std::vector<std::string>{"-6", "ADD", "2a02::10/128", "fe80::1", "METRIC", "1", "IF",
                                        "7"}));
    EXPECT_EQ(route_exit_error("DELETE", v6(0x2a02, 0x10), "exit code: 1"),
              "route.exe DELETE 2a02::10 exited with exit code: 1");
}

} // namespace
} // namespace kestrune::routes
