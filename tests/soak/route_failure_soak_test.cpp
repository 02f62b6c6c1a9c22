// Twenty-five minutes of protection passes in which every kind of failure happens at once and keeps
// happening, with the loop on a thread of its own stopped from outside as the service does.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fake_world.h"

namespace kestrune::routes {
namespace {

using testing_support::FakeWorld;

std::string peer(int i) {
    return "1.0.0." + std::to_string(i);
}

TEST(RouteFailureSoak, EachFailureKeyIsLoggedOnceWhileTheLoopRunsOnAndStopsFromOutside) {
    FakeWorld world;
    // 33 public peers connected for the first 300 seconds.
    for (std::uint8_t i = 1; i <= 33; ++i) {
        world.connected[{1, 0, 0, i}] = {{0, 299}};
    }
    world.inspection_fails = {{0, 9}};
    world.detection_fails = {{100, 149}, {200, 200}, {1200, 1499}};
    // ADD fails for every odd peer, DELETE for every peer, all the time.
    world.command_fails = [](std::string_view verb, IpAddress address, std::uint64_t) {
        return verb == "DELETE" || address.to_string().back() % 2 == 1;
    };

    std::atomic<std::uint64_t> passes{0};
    ProtectionDependencies deps = world.dependencies();
    deps.pause = [&, advance = deps.pause] {
        advance();
        ++passes;
        std::this_thread::yield();
    };
    PeerTracker tracker;
    tracker.set_random(world.random); // address order within a pass, as the lines below expect
    std::thread worker([&] { run_protection_loop(world.stop, tracker, deps, world.routes); });
    constexpr std::uint64_t PASSES = 1500 * 4;
    while (passes.load() < PASSES) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    world.stop = true; // from this thread, as the service main does
    worker.join();

    std::vector<std::string> logged;
    for (const std::string& event : world.events) {
        const std::string text = event.substr(event.find(' ') + 1);
        if (text.starts_with("log ")) {
            logged.push_back(text.substr(4));
        }
    }
    std::vector<std::string> expected;
    for (int i = 1; i <= 33; ++i) {
        expected.push_back("RDP route inspection failed: GetBestRoute(" + peer(i) +
                           ") failed: 1168");
    }
    for (int i = 1; i <= 33; ++i) {
        expected.push_back(i % 2 == 0 ? "RDP physical return route added for " + peer(i)
                                      : "RDP route add failed: route.exe ADD " + peer(i) +
                                            " exited with exit code: 1");
    }
    const std::string detection = "RDP peer detection failed: GetExtendedTcpTable failed: 122";
    expected.push_back(detection);
    expected.push_back(detection);
    for (int i = 2; i <= 32; i += 2) {
        expected.push_back("RDP route removal failed: route.exe DELETE " + peer(i) +
                           " exited with exit code: 1");
    }
    expected.push_back(detection);
    expected.push_back("RDP route protection left 16 host routes in place");
    expected.push_back("RDP route protection stopped");
    EXPECT_EQ(logged, expected);

    // The stop still tried to delete every route it owned, in ascending order, without a line
    // for each.
    ASSERT_GE(world.events.size(), 18u);
    const auto tail = world.events.end() - 18;
    for (int i = 2; i <= 32; i += 2) {
        const std::string& event = tail[(i - 2) / 2];
        EXPECT_EQ(event.substr(event.find(' ') + 1), "DELETE " + peer(i));
    }
    EXPECT_GE(world.detections, static_cast<int>(PASSES));
}

} // namespace
} // namespace kestrune::routes
