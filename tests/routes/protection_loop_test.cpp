#include <gtest/gtest.h>

#include "fake_world.h"

namespace kestrune::routes {
namespace {

using testing_support::FakeWorld;
using testing_support::Span;

const Ipv4Address PEER{5, 6, 7, 8};
const std::string ADDED = "log RDP physical return route added for ";
const std::string REMOVED = "log RDP physical return route removed for ";
const std::string STOPPED = "log RDP route protection stopped";

std::string at(std::uint64_t ms, const std::string& what) {
    return FakeWorld::at(ms, what);
}

TEST(ProtectionLoop, FirstSightingAddsOnceAndNothingMoreWhileConnected) {
    FakeWorld world;
    world.connected[PEER] = {{0, 1000}};
    world.connected[{10, 0, 0, 5}] = {{0, 1000}}; // the tracker filters private peers again
    world.stop_at_ms = 60'000;
    world.run();
    EXPECT_EQ(world.events,
              (std::vector<std::string>{at(0, "ADD 5.6.7.8"), at(0, ADDED + "5.6.7.8"),
                                        at(60'000, "DELETE 5.6.7.8"), at(60'000, STOPPED)}));
    EXPECT_EQ(world.lookups, 1);
    EXPECT_EQ(world.detections, 240); // one pass every 250 ms, the first at once
    EXPECT_EQ(world.port_reads, 1);   // in the first pass; the next one is due at 60 s
}

TEST(ProtectionLoop, OwnedRouteIsRemovedAtTheFirstPassSixHundredSecondsAfterLastSighting) {
    FakeWorld world;
    world.connected[PEER] = {{0, 100}};
    world.stop_at_ms = 800'000;
    world.run();
    EXPECT_EQ(world.events,
              (std::vector<std::string>{at(0, "ADD 5.6.7.8"), at(0, ADDED + "5.6.7.8"),
                                        at(700'000, "DELETE 5.6.7.8"),
                                        at(700'000, REMOVED + "5.6.7.8"), at(800'000, STOPPED)}));
}

TEST(ProtectionLoop, RedetectionResetsTheAge) {
    FakeWorld world;
    world.connected[PEER] = {{0, 100}, {699, 699}};
    world.stop_at_ms = 1'400'000;
    world.run();
    EXPECT_EQ(world.events,
              (std::vector<std::string>{
                  at(0, "ADD 5.6.7.8"), at(0, ADDED + "5.6.7.8"), at(1'299'000, "DELETE 5.6.7.8"),
                  at(1'299'000, REMOVED + "5.6.7.8"), at(1'400'000, STOPPED)}));
}

TEST(ProtectionLoop, AdoptedRouteIsNeverDeleted) {
    FakeWorld world;
    world.in_place = {PEER};
    world.connected[PEER] = {{0, 10}, {700, 710}};
    world.stop_at_ms = 705'000; // seen again after expiry, still connected at stop
    world.run();
    EXPECT_EQ(world.events, (std::vector<std::string>{at(705'000, STOPPED)}));
    EXPECT_EQ(world.lookups, 2); // once per admission, not once per pass
}

TEST(ProtectionLoop, RetiringRouteSeenAgainIsKeptWithoutANewAdd) {
    FakeWorld world;
    world.connected[PEER] = {{0, 0}, {601, 601}};
    world.command_fails = [](std::string_view verb, Ipv4Address, std::uint64_t second) {
        return verb == "DELETE" && second < 601;
    };
    world.stop_at_ms = 602'000;
    world.run();
    EXPECT_EQ(
        world.events,
        (std::vector<std::string>{
            at(0, "ADD 5.6.7.8"), at(0, ADDED + "5.6.7.8"), at(600'000, "DELETE 5.6.7.8"),
            at(600'000, "log RDP route removal failed: route.exe DELETE 5.6.7.8 exited with exit "
                        "code: 1"),
            at(600'250, "DELETE 5.6.7.8"), at(600'500, "DELETE 5.6.7.8"),
            at(600'750, "DELETE 5.6.7.8"), at(602'000, "DELETE 5.6.7.8"), at(602'000, STOPPED)}));
}

TEST(ProtectionLoop, ThirtyThreeNewPeersRouteTheLowestThirtyTwoUntilRoomIsMade) {
    FakeWorld world;
    for (std::uint8_t i = 1; i <= 33; ++i) {
        world.connected[{1, 0, 0, i}] = {{0, 2000}};
    }
    world.connected[{1, 0, 0, 1}] = {{0, 10}};
    world.stop_at_ms = 611'000;
    world.run(PeerTracker());

    std::vector<std::string> expected;
    for (int i = 1; i <= 32; ++i) {
        const std::string address = "1.0.0." + std::to_string(i);
        expected.push_back(at(0, "ADD " + address));
        expected.push_back(at(0, ADDED + address));
    }
    expected.push_back(at(610'000, "DELETE 1.0.0.1"));
    expected.push_back(at(610'000, REMOVED + "1.0.0.1"));
    expected.push_back(at(610'250, "ADD 1.0.0.33"));
    expected.push_back(at(610'250, ADDED + "1.0.0.33"));
    for (int i = 2; i <= 33; ++i) {
        expected.push_back(at(611'000, "DELETE 1.0.0." + std::to_string(i)));
    }
    expected.push_back(at(611'000, STOPPED));
    EXPECT_EQ(world.events, expected);
}

TEST(ProtectionLoop, FailingAddIsLoggedOnceForTheWorkersLifeAndRetriedEveryPass) {
    FakeWorld world;
    world.connected[PEER] = {{0, 5}, {700, 800}};
    world.command_fails = [](std::string_view verb, Ipv4Address, std::uint64_t second) {
        return verb == "ADD" && (second < 1 || second == 700);
    };
    world.stop_at_ms = 702'000;
    world.run();
    const std::string failed =
        "log RDP route add failed: route.exe ADD 5.6.7.8 exited with exit code: 1";
    EXPECT_EQ(
        world.events,
        (std::vector<std::string>{
            at(0, "ADD 5.6.7.8"), at(0, failed), at(250, "ADD 5.6.7.8"), at(500, "ADD 5.6.7.8"),
            at(750, "ADD 5.6.7.8"), at(1000, "ADD 5.6.7.8"), at(1000, ADDED + "5.6.7.8"),
            at(605'000, "DELETE 5.6.7.8"), at(605'000, REMOVED + "5.6.7.8"),
            at(700'000, "ADD 5.6.7.8"), at(700'250, "ADD 5.6.7.8"), at(700'500, "ADD 5.6.7.8"),
            at(700'750, "ADD 5.6.7.8"), at(701'000, "ADD 5.6.7.8"), at(701'000, ADDED + "5.6.7.8"),
            at(702'000, "DELETE 5.6.7.8"), at(702'000, STOPPED)}));
}

TEST(ProtectionLoop, FailingInspectionIsLoggedOnceAndStartsNoCommand) {
    FakeWorld world;
    world.connected[PEER] = {{0, 100}};
    world.inspection_fails = {{0, 1}};
    world.stop_at_ms = 3000;
    world.run();
    EXPECT_EQ(world.events,
              (std::vector<std::string>{
                  at(0, "log RDP route inspection failed: GetBestRoute(5.6.7.8) failed: 1168"),
                  at(2000, "ADD 5.6.7.8"), at(2000, ADDED + "5.6.7.8"), at(3000, "DELETE 5.6.7.8"),
                  at(3000, STOPPED)}));
    EXPECT_EQ(world.lookups, 9);
}

TEST(ProtectionLoop, DetectionOutageIsLoggedOncePerOutage) {
    FakeWorld world;
    world.detection_fails = {{0, 1}, {4, 5}};
    world.stop_at_ms = 8000;
    world.run();
    const std::string failed = "log RDP peer detection failed: GetExtendedTcpTable failed: 122";
    EXPECT_EQ(world.events,
              (std::vector<std::string>{at(0, failed), at(4000, failed), at(8000, STOPPED)}));
}

TEST(ProtectionLoop, PeersKeepAgeingWhileDetectionFails) {
    FakeWorld world;
    world.connected[PEER] = {{0, 2000}};
    world.connected[{9, 9, 9, 9}] = {{0, 2000}};
    world.in_place = {{9, 9, 9, 9}};
    world.detection_fails = {{11, 2000}};
    world.stop_at_ms = 700'000;
    world.run();
    EXPECT_EQ(world.events,
              (std::vector<std::string>{
                  at(0, "ADD 5.6.7.8"), at(0, ADDED + "5.6.7.8"),
                  at(11'000, "log RDP peer detection failed: GetExtendedTcpTable failed: 122"),
                  at(610'000, "DELETE 5.6.7.8"), at(610'000, REMOVED + "5.6.7.8"),
                  at(700'000, STOPPED)}));
}

TEST(ProtectionLoop, StopDeletesOwnedRoutesAscendingWithoutLogLines) {
    FakeWorld world;
    for (const Ipv4Address peer : {Ipv4Address{9, 9, 9, 9}, Ipv4Address{5, 6, 7, 8},
                                   Ipv4Address{7, 7, 7, 7}, Ipv4Address{6, 6, 6, 6}}) {
        world.connected[peer] = {{0, 100}};
    }
    world.in_place = {{6, 6, 6, 6}};
    // A failing deletion at shutdown is dropped and does not keep the others from running.
    world.command_fails = [](std::string_view verb, Ipv4Address peer, std::uint64_t) {
        return verb == "DELETE" && peer == Ipv4Address{7, 7, 7, 7};
    };
    world.stop_at_ms = 5000;
    // One progress call per deletion, failed or not, none for the adopted route.
    world.route_deleted_at_stop = [&] { world.events.push_back(at(world.ms, "progress")); };
    world.run();
    EXPECT_EQ(world.events,
              (std::vector<std::string>{
                  at(0, "ADD 5.6.7.8"), at(0, ADDED + "5.6.7.8"), at(0, "ADD 7.7.7.7"),
                  at(0, ADDED + "7.7.7.7"), at(0, "ADD 9.9.9.9"), at(0, ADDED + "9.9.9.9"),
                  at(5000, "DELETE 5.6.7.8"), at(5000, "progress"), at(5000, "DELETE 7.7.7.7"),
                  at(5000, "progress"), at(5000, "DELETE 9.9.9.9"), at(5000, "progress"),
                  at(5000, STOPPED)}));
}

TEST(ProtectionLoop, RdpPortIsReadEveryMinuteAndOnlySessionsOnItOr3389Count) {
    FakeWorld world;
    world.connected[PEER] = {{0, 1000}};
    world.local_port[PEER] = 3390;
    world.connected[{9, 9, 9, 9}] = {{0, 1000}};
    world.local_port[{9, 9, 9, 9}] = 3391;
    world.connected[{7, 7, 7, 7}] = {{0, 1000}}; // on 3389, which always counts
    world.rdp_port = [](std::uint64_t second) -> RdpPortWatch::Reading {
        switch (second / 60) {
        case 1:
            return 3390;
        case 4:
            return 3391;
        case 6:
            return DEFAULT_RDP_PORT; // the value deleted
        default:
            return fail("Access is denied. (os error 5)");
        }
    };
    RdpPortWatch rdp_port; // as the service main reads it before the start
    EXPECT_EQ(rdp_port.take(3390), "RDP route protection watching port 3390");
    world.stop_at_ms = 361'000;
    world.run(PeerTracker(), rdp_port);
    const std::string failed = "log RDP port lookup failed: Access is denied. (os error 5)";
    EXPECT_EQ(world.events,
              (std::vector<std::string>{
                  at(0, "ADD 5.6.7.8"), at(0, ADDED + "5.6.7.8"), at(0, "ADD 7.7.7.7"),
                  at(0, ADDED + "7.7.7.7"), at(120'000, failed), // 3390 stays watched meanwhile
                  at(240'000, "log RDP route protection watching port 3391"),
                  at(240'000, "ADD 9.9.9.9"), at(240'000, ADDED + "9.9.9.9"), at(300'000, failed),
                  at(360'000, "log RDP route protection watching port 3389"),
                  at(361'000, "DELETE 5.6.7.8"), at(361'000, "DELETE 7.7.7.7"),
                  at(361'000, "DELETE 9.9.9.9"), at(361'000, STOPPED)}));
    EXPECT_EQ(world.port_reads, 6); // at 60, 120, ..., 360
}

TEST(ProtectionLoop, StopBeforeTheFirstPassOnlyLogsTheStop) {
    FakeWorld world;
    world.connected[PEER] = {{0, 100}};
    world.stop = true;
    world.run();
    EXPECT_EQ(world.events, (std::vector<std::string>{at(0, STOPPED)}));
    EXPECT_EQ(world.detections, 0);
}

} // namespace
} // namespace kestrune::routes
