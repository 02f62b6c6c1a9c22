// The start-up wait for the physical route on a fake clock: the minute is fake time, moved
// only by the wait's own pauses.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "service/route_wait.h"

namespace kestrune::service {
namespace {

using namespace std::chrono_literals;

const std::string NO_ROUTE = "GetBestRoute failed: 1232";
const std::string NO_GATEWAY = "physical IPv4 default route has no gateway";
const std::string WAITING =
    "RDP route protection waiting for a physical IPv4 default route: " + NO_ROUTE;

struct Route {
    int id;
};

struct WaitWorld {
    std::chrono::milliseconds clock{0};
    StopSignal stop;
    int found_on_lookup = 0;               // 1-based; 0: never
    std::chrono::milliseconds stop_at{-1}; // a stop requested by the first pause reaching it
    bool stop_during_lookup = false;       // ... or by the first retry's lookup
    std::vector<std::chrono::milliseconds> lookups;
    std::vector<std::string> log;

    RouteWaitOutcome<Route> run() {
        const RouteWaitHooks<Route> hooks{
            .find_route = [this]() -> Result<Route> {
                lookups.push_back(clock);
                const int n = static_cast<int>(lookups.size());
                if (stop_during_lookup && n == 2) {
                    stop.request();
                }
                if (n == found_on_lookup) {
                    return Route{n};
                }
                return fail(n == 1 ? NO_ROUTE : NO_GATEWAY + " " + std::to_string(n));
            },
            .now = [this] { return std::chrono::nanoseconds(clock); },
            .pause =
                [this](std::chrono::milliseconds interval) {
                    EXPECT_GT(interval, 0ms);
                    EXPECT_LE(interval, ROUTE_WAIT_TICK);
                    clock += interval;
                    if (stop_at >= 0ms && clock >= stop_at) {
                        stop.request();
                    }
                },
            .log = [this](std::string_view line) { log.emplace_back(line); },
        };
        return wait_for_physical_route(stop, hooks);
    }
};

TEST(RouteWait, AFirstLookupThatSucceedsChangesNothing) {
    WaitWorld world;
    world.found_on_lookup = 1;
    const auto outcome = world.run();
    ASSERT_TRUE(std::holds_alternative<RouteFound<Route>>(outcome));
    EXPECT_EQ(std::get<RouteFound<Route>>(outcome).route.id, 1);
    EXPECT_TRUE(world.log.empty());
    EXPECT_EQ(world.clock, 0ms);
}

TEST(RouteWait, RetriesEverySecondUntilTheRouteAppears) {
    WaitWorld world;
    world.found_on_lookup = 4;
    const auto outcome = world.run();
    ASSERT_TRUE(std::holds_alternative<RouteFound<Route>>(outcome));
    EXPECT_EQ(std::get<RouteFound<Route>>(outcome).route.id, 4);
    EXPECT_EQ(world.lookups, (std::vector<std::chrono::milliseconds>{0ms, 1s, 2s, 3s}));
    EXPECT_EQ(world.log, std::vector<std::string>{WAITING}) << "logged once, with the first error";
}

TEST(RouteWait, GivesUpAfterTheLimitWithTheLastError) {
    WaitWorld world;
    const auto outcome = world.run();
    EXPECT_TRUE(std::holds_alternative<RouteNotFound>(outcome));
    EXPECT_EQ(world.clock, ROUTE_WAIT_LIMIT);
    ASSERT_EQ(world.lookups.size(), 61u); // at once, then once a second up to the limit
    EXPECT_EQ(world.lookups.back(), ROUTE_WAIT_LIMIT);
    EXPECT_EQ(world.log, (std::vector<std::string>{
                             WAITING, "RDP route protection unavailable: " + NO_GATEWAY + " 61"}));
}

TEST(RouteWait, AStopEndsTheWaitWithinATickAndClaimsNothing) {
    WaitWorld during_pause;
    during_pause.stop_at = 2500ms;
    EXPECT_TRUE(std::holds_alternative<RouteWaitStopped>(during_pause.run()));
    EXPECT_LE(during_pause.clock, 2500ms + ROUTE_WAIT_TICK);
    EXPECT_EQ(during_pause.lookups, (std::vector<std::chrono::milliseconds>{0ms, 1s, 2s}));
    EXPECT_EQ(during_pause.log, std::vector<std::string>{WAITING});

    // The retry that finds the route ends while the stop comes in: the start goes no further.
    WaitWorld during_lookup;
    during_lookup.found_on_lookup = 2;
    during_lookup.stop_during_lookup = true;
    EXPECT_TRUE(std::holds_alternative<RouteWaitStopped>(during_lookup.run()));
    EXPECT_EQ(during_lookup.log, std::vector<std::string>{WAITING});
}

} // namespace
} // namespace kestrune::service
