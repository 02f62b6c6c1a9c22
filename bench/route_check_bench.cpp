// What checking the worker's host routes adds to each reading of the routing table (every
// 2 s), beside what the reading already did with the same table: choose the physical route.
//
//   BM_PhysicalChoice/N        physical_ipv4_route over a table of N rows.
//   BM_HostRouteCheck/N/O      HostRoutes over the same table and one lookup for each of 256
//                              owned routes. O is where the owned peers' addresses lie among the
//                              table's other host routes, which the peers (and so an attacker)
//                              choose: 0 below them all, 1 above, 2 spread among them.
//
// The rows come in a shuffled order, as a table is not listed by address.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "routes/physical/host_routes.h"
#include "routes/physical/physical_route_watch.h"

namespace {

using kestrune::routes::HostRoutes;
using kestrune::routes::HostRow;
using kestrune::routes::Ipv4Address;
using kestrune::routes::PhysicalRoute;
using kestrune::routes::RouteTable;

constexpr std::size_t OWNED = 256;
const PhysicalRoute PHYSICAL{{10, 0, 0, 1}, 7};

Ipv4Address address(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

struct Scenario {
    RouteTable<Ipv4Address> table;
    std::vector<HostRow<Ipv4Address>> owned;
};

Scenario scenario(std::size_t rows, int order) {
    std::mt19937 random(7);
    Scenario s;
    s.table.reserve(rows + 3);
    s.table.push_back({{}, 0, PHYSICAL.gateway, PHYSICAL.interface_index, 25});
    s.table.push_back({{}, 1, {172, 19, 0, 1}, 40, 0, true});
    s.table.push_back({{128, 0, 0, 0}, 1, {172, 19, 0, 1}, 40, 0, true});
    // Other host routes between 64.0.0.0 and 191.255.255.255; owned ones below, above or among.
    const std::size_t others = rows > OWNED + 3 ? rows - OWNED - 3 : 0;
    for (std::size_t i = 0; i < others; ++i) {
        // Through a router, as a VPN's would be: none of them is passed over unread.
        s.table.push_back(
            {address(0x40000000u + random() % 0x80000000u), 32, {192, 168, 0, 1}, 3, 1});
    }
    for (std::size_t i = 0; i < OWNED; ++i) {
        const std::uint32_t value = order == 0   ? 0x01000000u + static_cast<std::uint32_t>(i)
                                    : order == 1 ? 0xC8000000u + static_cast<std::uint32_t>(i)
                                                 : 0x40000000u + random() % 0x80000000u;
        s.table.push_back({address(value), 32, PHYSICAL.gateway, PHYSICAL.interface_index, 1});
        s.owned.push_back({address(value), PHYSICAL.gateway, PHYSICAL.interface_index});
    }
    std::shuffle(s.table.begin(), s.table.end(), random);
    return s;
}

void BM_PhysicalChoice(benchmark::State& state) {
    const Scenario s = scenario(static_cast<std::size_t>(state.range(0)), 2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestrune::routes::physical_ipv4_route(s.table));
    }
}

void BM_HostRouteCheck(benchmark::State& state) {
    const Scenario s =
        scenario(static_cast<std::size_t>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        const HostRoutes<Ipv4Address> hosts(s.table);
        std::size_t found = 0;
        for (const HostRow<Ipv4Address>& route : s.owned) {
            found += hosts.contains(route) ? 1 : 0;
        }
        benchmark::DoNotOptimize(found);
    }
}

BENCHMARK(BM_PhysicalChoice)->Arg(300)->Arg(1000)->Arg(10000);
BENCHMARK(BM_HostRouteCheck)->ArgsProduct({{300, 1000, 10000}, {0, 1, 2}});

} // namespace

BENCHMARK_MAIN();
