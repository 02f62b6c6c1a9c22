#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>

#include "fake_world.h"

namespace kestrune::routes {
namespace {

using testing_support::FakeWorld;
using testing_support::Span;

const IpAddress PEER{5, 6, 7, 8};
const std::string ADDED = "log RDP physical return route added for ";
const std::string REMOVED = "log RDP physical return route removed for ";
const std::string STOPPED = "log RDP route protection stopped";

std::string at(std::uint64_t ms, const std::string& what) {
    return FakeWorld::at(ms, what);
}

TEST(ProtectionLoop, FirstSightingAddsOnceAndNothingMoreWhileConnected) {
    FakeWorld world;
    world.connected[PEER] = {{0, 1000}};
    world.connected[{10, 0, 0, 5}] = {{0, 1000}}; // reached through a VPN's route of its own
    world.own_route = {{10, 0, 0, 5}};
    world.stop_at_ms = 60'000;
    world.run();
    EXPECT_EQ(world.events,
              (std::vector<std::string>{at(0, "ADD 5.6.7.8"), at(0, ADDED + "5.6.7.8"),
                                        at(60'000, "DELETE 5.6.7.8"), at(60'000, STOPPED)}));
    EXPECT_EQ(world.lookups, 1);
    EXPECT_EQ(world.detections, 240); // one pass every 250 ms, the first at once
    EXPECT_EQ(world.port_reads, 1);   // in the first pass; the next one is due at 60 s
}

TEST(ProtectionLoop, PrivatePeerCountsWhenOnlyTheDefaultRouteLeadsToIt) {
    FakeWorld world;
    world.connected[{172, 20, 0, 5}] = {{0, 10}, {20, 1000}}; // looked at again when back
    world.connected[{10, 0, 0, 2}] = {{0, 1000}};
    world.own_route = {{10, 0, 0, 2}};
    world.connected[{127, 0, 0, 1}] = {{0, 1000}}; // special: never looked up
    world.stop_at_ms = 30'000;
    world.run();
    EXPECT_EQ(world.events,
              (std::vector<std::string>{at(0, "ADD 172.20.0.5"), at(0, ADDED + "172.20.0.5"),
                                        at(30'000, "DELETE 172.20.0.5"), at(30'000, STOPPED)}));
    EXPECT_EQ(world.private_lookups, 3); // once each when first seen, not once per pass
}

TEST(PeerScreen, RemembersAtMostItsLimitAndForgetsPeersThatWent) {
    PeerScreen screen(2);
    int lookups = 0;
    const auto reached = [&](IpAddress) -> Result<bool> {
        ++lookups;
        return true;
    };
    const auto failed = [](IpAddress, const std::string& error) { FAIL() << error; };
    const auto peers = [](std::initializer_list<IpAddress> addresses) {
        PeerSet set;
        for (const IpAddress address : addresses) {
            set.emplace(address, PeerState::established);
        }
        return set;
    };
    PeerSet first = peers({{10, 0, 0, 1}, {10, 0, 0, 2}, {10, 0, 0, 3}, {5, 6, 7, 8}});
    screen.screen(first, reached, failed);
    EXPECT_EQ(first, peers({{5, 6, 7, 8}, {10, 0, 0, 1}, {10, 0, 0, 2}}));
    PeerSet second = peers({{10, 0, 0, 2}, {10, 0, 0, 3}}); // 10.0.0.1 went, making room
    screen.screen(second, reached, failed);
    EXPECT_EQ(second, peers({{10, 0, 0, 2}, {10, 0, 0, 3}}));
    EXPECT_EQ(lookups, 3);
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
    world.command_fails = [](std::string_view verb, IpAddress, std::uint64_t second) {
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

// 256 peers stay connected; the lowest of them leaves at 10 s. The limit line comes once while
// peers wait, and again only for a new episode.
TEST(ProtectionLoop, AtTheLimitNewcomersWaitForAGonePeerAndTheLimitIsLoggedOncePerEpisode) {
    FakeWorld world;
    auto peer = [](int i) {
        return IpAddress{1, 0, static_cast<std::uint8_t>(i / 256),
                         static_cast<std::uint8_t>(i % 256)};
    };
    for (int i = 0; i < 256; ++i) {
        world.connected[peer(i)] = {{0, 2000}};
    }
    world.connected[peer(0)] = {{0, 9}};
    world.connected[peer(256)] = {{0, 2000}};  // waits until 1.0.0.0 has gone
    world.connected[peer(257)] = {{20, 2000}}; // waits for good: a second episode
    world.stop_at_ms = 30'000;
    world.run();

    const std::string limit =
        "log RDP route protection is at its limit of 256 connected peers; new clients wait";
    ASSERT_EQ(world.events.size(), 1u + 2 * 256 + 4 + 1 + 256 + 1);
    EXPECT_EQ(world.events.front(), at(0, limit));
    EXPECT_EQ(world.events[512], at(0, ADDED + "1.0.0.255"));
    EXPECT_EQ(
        std::vector<std::string>(world.events.begin() + 513, world.events.begin() + 519),
        (std::vector<std::string>{at(10'000, "ADD 1.0.1.0"), at(10'000, ADDED + "1.0.1.0"),
                                  at(10'000, "DELETE 1.0.0.0"), at(10'000, REMOVED + "1.0.0.0"),
                                  at(20'000, limit), at(30'000, "DELETE 1.0.0.1")}));
}

// One limit for both families: IPv4 and IPv6 newcomers wait behind peers of either. Each table
// fails on its own and holds back only its own peers: during the IPv6 table's outage a gone
// IPv4 peer makes room for an IPv4 newcomer while the IPv6 peer, unseen, is not taken for gone;
// during the IPv4 table's outage the same holds the other way round. The waiting episode goes
// on through both without a second limit line.
TEST(ProtectionLoop, BothFamiliesShareTheLimitAndEachTableFailsOnItsOwn) {
    FakeWorld world;
    world.ipv6_table = true;
    const IpAddress first = *Ipv6Address::from_hex("2a027910000000000000000000000001");
    const IpAddress late = *Ipv6Address::from_hex("2a027910000000000000000000000002");
    world.connected[{1, 0, 0, 1}] = {{0, 2}};
    world.connected[first] = {{0, 7}};
    world.connected[late] = {{1, 100}};
    world.connected[{1, 0, 0, 9}] = {{3, 100}};
    world.ipv6_detection_fails = {{2, 4}};
    world.detection_fails = {{8, 9}};
    world.stop_at_ms = 10'000;
    world.run(PeerTracker(600, 2));
    const std::string limit =
        "log RDP route protection is at its limit of 2 connected peers; new clients wait";
    EXPECT_EQ(
        world.events,
        (std::vector<std::string>{
            at(0, "ADD 1.0.0.1"), at(0, ADDED + "1.0.0.1"), at(0, "ADD 2a02:7910::1"),
            at(0, ADDED + "2a02:7910::1"), at(1000, limit),
            at(2000, "log RDP peer detection failed: GetTcp6Table failed: 50"),
            at(3000, "ADD 1.0.0.9"), at(3000, ADDED + "1.0.0.9"), at(3000, "DELETE 1.0.0.1"),
            at(3000, REMOVED + "1.0.0.1"),
            at(8000, "log RDP peer detection failed: GetExtendedTcpTable failed: 122"),
            at(8000, "ADD 2a02:7910::2"), at(8000, ADDED + "2a02:7910::2"),
            at(8000, "DELETE 2a02:7910::1"), at(8000, REMOVED + "2a02:7910::1"),
            at(10'000, "DELETE 1.0.0.9"), at(10'000, "DELETE 2a02:7910::2"), at(10'000, STOPPED)}));
}

// The physical routes are read every two seconds. IPv6 arms when its default route appears;
// an IPv4 gateway that changes takes the owned route with it (deleted, then added through the
// new one); a route that goes suspends its family, a newcomer gets no route until one is back,
// and an adapter that comes back under a new index, its routes dropped by Windows, gets each
// peer a route through it without a failure line for the route that had gone with it.
TEST(ProtectionLoop, HostRoutesFollowThePhysicalRoutes) {
    FakeWorld world;
    const Ipv6Address router = world.routes.ipv6->next_hop; // fe80::1 on interface 7
    world.routes.ipv6.reset();
    const IpAddress client6 = *Ipv6Address::from_hex("2a027910000000000000000000000001");
    world.connected[PEER] = {{0, 100}};
    world.connected[client6] = {{0, 100}};
    world.connected[{5, 6, 7, 9}] = {{11, 100}};
    world.physical_routes = [&](std::uint64_t second) {
        RouteReadings readings{PhysicalRoute{{10, 0, 0, 1}, 7}, fail("no IPv6 default route"), {}};
        if (second >= 3) {
            readings.ipv6 = PhysicalRoute6{router, 7};
        }
        if (second >= 5) {
            readings.ipv4 = PhysicalRoute{{10, 0, 0, 254}, 7};
        }
        if (second >= 9 && second < 13) {
            readings.ipv4 = fail("no IPv4 default route");
            std::erase_if(world.routed, [](const auto& route) { return !route.first.is_ipv6(); });
        }
        if (second >= 13) {
            readings.ipv4 = PhysicalRoute{{10, 0, 0, 254}, 12};
        }
        return readings;
    };
    world.stop_at_ms = 15'000;
    world.run();
    const std::string old_gateway = " via 10.0.0.254 on interface 7";
    const std::string new_index = " via 10.0.0.254 on interface 12";
    EXPECT_EQ(
        world.events,
        (std::vector<std::string>{
            at(0, "ADD 5.6.7.8"), at(0, ADDED + "5.6.7.8"),
            at(4000, "log RDP IPv6 route protection enabled via fe80::1 on interface 7"),
            at(4000, "ADD 2a02:7910::1 via fe80::1 on interface 7"),
            at(4000, ADDED + "2a02:7910::1"),
            at(6000, "log RDP route protection moved from 10.0.0.1 on interface 7 to "
                     "10.0.0.254 on interface 7"),
            at(6000, "DELETE 5.6.7.8"), at(6000, REMOVED + "5.6.7.8"),
            at(6250, "ADD 5.6.7.8" + old_gateway), at(6250, ADDED + "5.6.7.8"),
            at(10'000, "log RDP route protection suspended: no IPv4 default route"),
            // The interface took the route with it: nothing is left to delete, and the
            // session that was working comes before the newcomer.
            at(10'000, "log RDP route protection found 1 host routes gone; adding them again"),
            at(14'000, "log RDP route protection enabled via 10.0.0.254 on interface 12"),
            at(14'000, "ADD 5.6.7.8" + new_index), at(14'000, ADDED + "5.6.7.8"),
            at(14'000, "ADD 5.6.7.9" + new_index), at(14'000, ADDED + "5.6.7.9"),
            at(15'000, "DELETE 5.6.7.8" + new_index), at(15'000, "DELETE 5.6.7.9" + new_index),
            at(15'000, "DELETE 2a02:7910::1 via fe80::1 on interface 7"), at(15'000, STOPPED)}));
}

// Each reading of the table checks the host routes the worker counts on: one deleted from
// outside, all of them dropped with the link during a suspension (the route back the same), and
// an ADD that exited 0 without a route, retried after two readings without it.
TEST(ProtectionLoop, HostRoutesTheTableDropsComeBack) {
    FakeWorld world;
    // `late`'s first ADD takes only when it is retried, which therefore fails; `timed_out`'s
    // fails after it took. Both routes are still ours.
    const IpAddress b{5, 6, 7, 9}, unproven{5, 6, 7, 10}, late{5, 6, 7, 11}, timed_out{5, 6, 7, 12};
    for (const IpAddress& peer : {PEER, b, unproven, late, timed_out}) {
        world.connected[peer] = {{0, 100}};
    }
    world.adds_without_route = {unproven, late};
    world.command_fails = [&](std::string_view verb, IpAddress peer, std::uint64_t second) {
        const bool took = (peer == late && second == 4) || (peer == timed_out && second == 0);
        if (verb != "ADD" || !took) {
            return false;
        }
        world.routed[peer] = *host_route_through(peer, world.routes);
        return true;
    };
    world.physical_routes = [&](std::uint64_t second) {
        RouteReadings readings{*world.routes.ipv4, *world.routes.ipv6, {}};
        if (second >= 4) {
            world.adds_without_route.clear();
        }
        if (second == 6) {
            world.routed.erase(PEER);
        }
        if (second >= 9 && second <= 10) {
            readings.ipv4 = fail("no IPv4 default route");
            world.routed.clear();
        }
        return readings;
    };
    world.stop_at_ms = 14'000;
    world.run();
    const std::string gone = "log RDP route protection found ";
    std::vector<std::string> expected;
    const auto add = [&](std::uint64_t ms, const IpAddress& peer) {
        expected.push_back(at(ms, "ADD " + peer.to_string()));
        expected.push_back(at(ms, ADDED + peer.to_string()));
    };
    const auto failed = [&](std::uint64_t ms, const IpAddress& peer) {
        expected.push_back(at(ms, "ADD " + peer.to_string()));
        expected.push_back(at(ms, "log RDP route add failed: route.exe ADD " + peer.to_string() +
                                      " exited with exit code: 1"));
    };
    add(0, PEER), add(0, b), add(0, unproven), add(0, late), failed(0, timed_out);
    for (const IpAddress& peer : {unproven, late}) {
        expected.push_back(at(4000, "log RDP route add for " + peer.to_string() +
                                        " reported success but the route is not in the table"));
    }
    add(4000, unproven), failed(4000, late);
    expected.push_back(at(6000, gone + "1 host routes gone; adding them again"));
    add(6000, PEER);
    expected.push_back(at(10'000, "log RDP route protection suspended: no IPv4 default route"));
    expected.push_back(at(10'000, gone + "5 host routes gone; adding them again"));
    expected.push_back(at(12'000, "log RDP route protection enabled via 10.0.0.1 on interface 7"));
    for (const IpAddress& peer : {PEER, b, unproven, late, timed_out}) {
        add(12'000, peer);
    }
    for (const IpAddress& peer : {PEER, b, unproven, late, timed_out}) {
        expected.push_back(at(14'000, "DELETE " + peer.to_string()));
    }
    expected.push_back(at(14'000, STOPPED));
    EXPECT_EQ(world.events, expected);
    EXPECT_TRUE(world.routed.empty()) << "routes left after the stop";
}

// Room for three. A gone peer makes room at once, the least recently seen first whatever its
// address; an adopted route is forgotten, not deleted; live peers are never dropped.
TEST(ProtectionLoop, NewcomerTakesThePlaceOfTheGonePeerSeenLeastRecently) {
    FakeWorld world;
    world.in_place = {{1, 0, 0, 1}};
    world.connected[{1, 0, 0, 1}] = {{0, 5}};
    world.connected[{1, 0, 0, 2}] = {{0, 3}};
    world.connected[{1, 0, 0, 3}] = {{0, 100}};
    world.connected[{1, 0, 0, 4}] = {{8, 100}};
    world.connected[{1, 0, 0, 5}] = {{9, 100}};
    world.connected[{1, 0, 0, 6}] = {{10, 100}};
    world.stop_at_ms = 11'000;
    world.run(PeerTracker(600, 3));
    EXPECT_EQ(world.events,
              (std::vector<std::string>{
                  at(0, "ADD 1.0.0.2"), at(0, ADDED + "1.0.0.2"), at(0, "ADD 1.0.0.3"),
                  at(0, ADDED + "1.0.0.3"), at(8000, "ADD 1.0.0.4"), at(8000, ADDED + "1.0.0.4"),
                  at(8000, "DELETE 1.0.0.2"), at(8000, REMOVED + "1.0.0.2"),
                  at(9000, "ADD 1.0.0.5"), at(9000, ADDED + "1.0.0.5"),
                  at(10'000, "log RDP route protection is at its limit of 3 connected peers; new "
                             "clients wait"),
                  at(11'000, "DELETE 1.0.0.3"), at(11'000, "DELETE 1.0.0.4"),
                  at(11'000, "DELETE 1.0.0.5"), at(11'000, STOPPED)}));
}

TEST(ProtectionLoop, HalfOpenPeersExpireAfterThirtySecondsEstablishedOnesAfterSixHundred) {
    FakeWorld world;
    world.connected[{1, 0, 0, 1}] = {{0, 10}};
    world.half_open[{1, 0, 0, 1}] = {{0, 10}};
    world.connected[{1, 0, 0, 2}] = {{0, 10}};
    world.half_open[{1, 0, 0, 2}] = {{0, 4}}; // its handshake completed at 5 s
    world.connected[{1, 0, 0, 3}] = {{0, 10}};
    world.stop_at_ms = 700'000;
    world.run();
    EXPECT_EQ(world.events,
              (std::vector<std::string>{
                  // Established peers first, then half-open ones newest first.
                  at(0, "ADD 1.0.0.3"), at(0, ADDED + "1.0.0.3"), at(0, "ADD 1.0.0.2"),
                  at(0, ADDED + "1.0.0.2"), at(0, "ADD 1.0.0.1"), at(0, ADDED + "1.0.0.1"),
                  at(40'000, "DELETE 1.0.0.1"), at(40'000, REMOVED + "1.0.0.1"),
                  at(610'000, "DELETE 1.0.0.2"), at(610'000, REMOVED + "1.0.0.2"),
                  at(610'000, "DELETE 1.0.0.3"), at(610'000, REMOVED + "1.0.0.3"),
                  at(700'000, STOPPED)}));
}

TEST(ProtectionLoop, FailingAddIsLoggedOnceForTheWorkersLifeAndRetriedEveryPass) {
    FakeWorld world;
    world.connected[PEER] = {{0, 5}, {700, 800}};
    world.command_fails = [](std::string_view verb, IpAddress, std::uint64_t second) {
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
    world.connected[{172, 20, 0, 5}] = {{0, 100}}; // fails before the tracker sees it
    world.inspection_fails = {{0, 1}};
    world.stop_at_ms = 3000;
    world.run();
    const std::string failed = "log RDP route inspection failed: GetBestRoute(";
    EXPECT_EQ(world.events, (std::vector<std::string>{
                                at(0, failed + "172.20.0.5) failed: 1168"),
                                at(0, failed + "5.6.7.8) failed: 1168"), at(2000, "ADD 5.6.7.8"),
                                at(2000, ADDED + "5.6.7.8"), at(2000, "ADD 172.20.0.5"),
                                at(2000, ADDED + "172.20.0.5"), at(3000, "DELETE 5.6.7.8"),
                                at(3000, "DELETE 172.20.0.5"), at(3000, STOPPED)}));
    EXPECT_EQ(world.lookups, 10);
    EXPECT_EQ(world.private_lookups, 9);
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
    for (const IpAddress peer : {IpAddress{9, 9, 9, 9}, IpAddress{5, 6, 7, 8},
                                 IpAddress{7, 7, 7, 7}, IpAddress{6, 6, 6, 6}}) {
        world.connected[peer] = {{0, 100}};
    }
    world.in_place = {{6, 6, 6, 6}};
    // A failing deletion at shutdown does not keep the others from running; its route is
    // counted as left in place.
    world.command_fails = [](std::string_view verb, IpAddress peer, std::uint64_t) {
        return verb == "DELETE" && peer == IpAddress{7, 7, 7, 7};
    };
    world.stop_at_ms = 5000;
    // One progress call per deletion, failed or not, none for the adopted route.
    world.route_deleted_at_stop = [&] { world.events.push_back(at(world.ms, "progress")); };
    world.run();
    EXPECT_EQ(
        world.events,
        (std::vector<std::string>{
            at(0, "ADD 5.6.7.8"), at(0, ADDED + "5.6.7.8"), at(0, "ADD 7.7.7.7"),
            at(0, ADDED + "7.7.7.7"), at(0, "ADD 9.9.9.9"), at(0, ADDED + "9.9.9.9"),
            at(5000, "DELETE 5.6.7.8"), at(5000, "progress"), at(5000, "DELETE 7.7.7.7"),
            at(5000, "progress"), at(5000, "DELETE 9.9.9.9"), at(5000, "progress"),
            at(5000, "log RDP route protection left 1 host routes in place"), at(5000, STOPPED)}));
}

TEST(ProtectionLoop, WatchedPortsAreReadEveryMinuteAndOnlySessionsOnThemOr3389Count) {
    FakeWorld world;
    world.connected[PEER] = {{0, 1000}};
    world.local_port[PEER] = 3390;
    world.connected[{6, 6, 6, 6}] = {{0, 1000}}; // an SSH session
    world.local_port[{6, 6, 6, 6}] = 2222;
    world.admin_ports = [](std::uint64_t second) -> AdminPortWatch::Reading {
        using Ports = std::vector<std::uint16_t>;
        const auto minute = second / 60;
        const Result<Ports> sshd = minute == 1                  ? Result<Ports>(Ports{2222})
                                   : minute == 2 || minute == 3 ? fail("line 3: bad port number x")
                                                                : Result<Ports>(Ports{});
        return {{"sshd", sshd}, {"WinRM", minute >= 1 && minute <= 4 ? Ports{5985} : Ports{}}};
    };
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
                  at(0, "ADD 5.6.7.8"),
                  at(0, ADDED + "5.6.7.8"),
                  at(0, "ADD 7.7.7.7"),
                  at(0, ADDED + "7.7.7.7"),
                  at(60'000, "log RDP route protection also watching: 2222 (sshd), 5985 (WinRM)"),
                  at(60'000, "ADD 6.6.6.6"),
                  at(60'000, ADDED + "6.6.6.6"),
                  at(120'000, failed), // 3390 stays watched meanwhile, and 2222 too
                  at(120'000, "log sshd port lookup failed: line 3: bad port number x"),
                  at(240'000, "log RDP route protection watching port 3391"),
                  at(240'000, "log RDP route protection also watching: 5985 (WinRM)"),
                  at(240'000, "ADD 9.9.9.9"),
                  at(240'000, ADDED + "9.9.9.9"),
                  at(300'000, failed),
                  at(300'000, "log RDP route protection also watching: no other port"),
                  at(360'000, "log RDP route protection watching port 3389"),
                  at(361'000, "DELETE 5.6.7.8"),
                  at(361'000, "DELETE 6.6.6.6"),
                  at(361'000, "DELETE 7.7.7.7"),
                  at(361'000, "DELETE 9.9.9.9"),
                  at(361'000, STOPPED)}));
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

// Runs side by side, at most two: established peers first, then half-open ones newest first;
// a half-open peer that waited past 20 s gets no run. Detection keeps its 250 ms rhythm while
// runs go on.
TEST(ProtectionLoop, RunsSideBySideEstablishedFirstNewestHalfOpenNextWithinTheirWait) {
    FakeWorld world;
    testing_support::FakePool pool(world, 2);
    world.pool = &pool;
    pool.run_ms = [](std::string_view, IpAddress) { return std::uint64_t{1100}; };
    const auto connect = [&](IpAddress peer, std::uint64_t from, bool half_open) {
        world.connected[peer] = {{from, 100}};
        if (half_open) {
            world.half_open[peer] = {{from, 100}};
        }
    };
    for (std::uint8_t i = 1; i <= 4; ++i) {
        connect({1, 0, 0, i}, 0, true);
    }
    connect({2, 0, 0, 1}, 1, false);
    connect({3, 0, 0, 1}, 2, true);
    world.inspection_fails = {{5, 26}}; // nobody gets a route meanwhile
    connect({4, 0, 0, 1}, 5, true);     // waits 22 s: given up
    connect({6, 0, 0, 1}, 5, false);    // established: no bound
    connect({5, 0, 0, 1}, 10, true);    // waits 17 s
    world.stop_at_ms = 30'000;
    world.run();
    std::vector<std::string> adds;
    for (const std::string& event : world.events) {
        if (event.find(" ADD ") != std::string::npos) {
            adds.push_back(event);
        }
    }
    EXPECT_EQ(adds, (std::vector<std::string>{
                        at(0, "ADD 1.0.0.4"), at(0, "ADD 1.0.0.3"), at(1100, "ADD 2.0.0.1"),
                        at(1100, "ADD 1.0.0.2"), at(2200, "ADD 3.0.0.1"), at(2200, "ADD 1.0.0.1"),
                        at(27'000, "ADD 6.0.0.1"), at(27'000, "ADD 5.0.0.1")}));
    EXPECT_EQ(pool.most_running, 2u);
    ASSERT_EQ(world.detected_at_ms.size(), 120u);
    for (std::size_t i = 0; i < world.detected_at_ms.size(); ++i) {
        EXPECT_EQ(world.detected_at_ms[i], 250 * i);
    }
}

// A wave of half-open scanners, 4 new a second, against one route.exe run a second: who of
// those waiting is served does not depend on the address a client chose (the same share of
// seeds gets the administrator in from below the scanners' range as from above it), and a
// client that was connected before the wave, its route gone since, coming back half-open is
// served before every unknown one.
TEST(ProtectionLoop, NoAddressRangeWinsAndReturningClientsComeFirst) {
    const IpAddress returning{7, 0, 0, 1};
    std::map<bool, int> admitted; // by "above the scanners"
    for (const bool above : {false, true}) {
        const IpAddress admin = above ? IpAddress{9, 0, 0, 1} : IpAddress{1, 0, 0, 1};
        for (std::uint64_t seed = 1; seed <= 50; ++seed) {
            FakeWorld world;
            testing_support::FakePool pool(world, 1);
            world.pool = &pool;
            pool.run_ms = [](std::string_view, IpAddress) { return std::uint64_t{1000}; };
            world.random = [generator = std::mt19937_64(seed)]() mutable { return generator(); };
            world.connected[returning] = {{0, 1}, {12, 40}};
            world.half_open[returning] = {{12, 40}};
            world.connected[admin] = world.half_open[admin] = {{12, 40}};
            for (std::uint8_t second = 8; second <= 30; ++second) {
                for (std::uint8_t i = 1; i <= 4; ++i) {
                    world.connected[{5, 8, second, i}] =
                        world.half_open[{5, 8, second, i}] = {{second, second}};
                }
            }
            world.stop_at_ms = 40'000;
            world.run(PeerTracker(5, 8)); // the returning client's route is gone by 6 s
            std::vector<std::string> adds_after_12;
            for (const std::string& event : world.events) {
                if (event.find(" ADD ") != std::string::npos && std::stoull(event) > 12'000) {
                    adds_after_12.push_back(event.substr(event.find(' ') + 1));
                }
            }
            ASSERT_FALSE(adds_after_12.empty());
            EXPECT_EQ(adds_after_12.front(), "ADD 7.0.0.1") << seed;
            admitted[above] +=
                std::count(adds_after_12.begin(), adds_after_12.end(), "ADD " + admin.to_string());
        }
    }
    // Newest first alone got neither in: the runs all went to the scanners of later passes
    // (with 13 of 50 each now).
    EXPECT_GT(admitted[false], 5);
    EXPECT_GT(admitted[true], 5);
    EXPECT_LE(std::abs(admitted[false] - admitted[true]), 8)
        << admitted[false] << " below, " << admitted[true] << " above";
}

// Room for three, all half-open and still there when newer ones come: the newer take their
// places, and those passed over are not taken back while their rows last (no thrashing).
TEST(ProtectionLoop, LiveHalfOpenPeersMakeRoomForNewerOnesOnce) {
    FakeWorld world;
    for (std::uint8_t i = 1; i <= 3; ++i) {
        for (const IpAddress peer : {IpAddress{1, 0, 0, i}, IpAddress{2, 0, 0, i}}) {
            world.connected[peer] = {{peer.ipv4().octets()[0] == 1 ? 0u : 1u, 100}};
            world.half_open[peer] = {{0, 100}};
        }
    }
    world.stop_at_ms = 10'000;
    world.run(PeerTracker(600, 3));
    EXPECT_EQ(std::vector<std::string>(world.events.begin(), world.events.begin() + 18),
              (std::vector<std::string>{
                  at(0, "ADD 1.0.0.3"), at(0, ADDED + "1.0.0.3"), at(0, "ADD 1.0.0.2"),
                  at(0, ADDED + "1.0.0.2"), at(0, "ADD 1.0.0.1"), at(0, ADDED + "1.0.0.1"),
                  at(1000, "ADD 2.0.0.3"), at(1000, ADDED + "2.0.0.3"), at(1000, "ADD 2.0.0.2"),
                  at(1000, ADDED + "2.0.0.2"), at(1000, "ADD 2.0.0.1"), at(1000, ADDED + "2.0.0.1"),
                  at(1000, "DELETE 1.0.0.1"), at(1000, REMOVED + "1.0.0.1"),
                  at(1000, "DELETE 1.0.0.2"), at(1000, REMOVED + "1.0.0.2"),
                  at(1000, "DELETE 1.0.0.3"), at(1000, REMOVED + "1.0.0.3")}));
    EXPECT_EQ(world.events.size(), 18u + 4); // then only the stop
}

// The stop deletes side by side within its 20 s budget: each run bounded by what is left of
// it, none started with less than 3 s left, and the routes not deleted are counted.
// A deletion running when the stop comes is not started again: its own outcome counts.
TEST(ProtectionLoop, ADeletionRunningAtTheStopCountsOnce) {
    FakeWorld world;
    testing_support::FakePool pool(world, 4);
    world.pool = &pool;
    pool.run_ms = [](std::string_view verb, IpAddress) {
        return verb == "ADD" ? std::uint64_t{250} : std::uint64_t{3000};
    };
    world.connected[PEER] = {{0, 0}};
    world.stop_at_ms = 3000;
    world.run(PeerTracker(2));
    EXPECT_EQ(world.events,
              (std::vector<std::string>{at(0, "ADD 5.6.7.8"), at(250, ADDED + "5.6.7.8"),
                                        at(2000, "DELETE 5.6.7.8"), at(5000, STOPPED)}));
}

TEST(ProtectionLoop, StopDeletesSideBySideWithinItsBudget) {
    for (const std::uint64_t delete_ms : {250, 1'000'000}) {
        FakeWorld world;
        testing_support::FakePool pool(world, 4);
        world.pool = &pool;
        pool.run_ms = [&](std::string_view verb, IpAddress) {
            return verb == "ADD" ? std::uint64_t{250} : delete_ms;
        };
        for (std::uint8_t i = 1; i <= 40; ++i) {
            world.connected[{1, 0, 0, i}] = {{0, 100}};
        }
        world.stop_at_ms = 10'000;
        world.run();
        std::map<std::string, int> deletions; // by start time
        for (const std::string& event : world.events) {
            if (event.find(" DELETE ") != std::string::npos) {
                ++deletions[event.substr(0, event.find(' '))];
            }
        }
        const bool hangs = delete_ms > 20'000;
        // 16 at once; a hung run ends at its bound, 10 s, then 8 s with what is left.
        EXPECT_EQ(deletions,
                  hangs ? (std::map<std::string, int>{{"10000", 16}, {"20000", 16}})
                        : (std::map<std::string, int>{{"10000", 16}, {"10250", 16}, {"10500", 8}}));
        const std::vector<std::string> last(world.events.end() - 2, world.events.end());
        EXPECT_EQ(last, hangs ? (std::vector<std::string>{
                                    at(28'000, "log RDP route protection left 40 host routes "
                                               "in place"),
                                    at(28'000, STOPPED)})
                              : (std::vector<std::string>{at(10'500, "DELETE 1.0.0.40"),
                                                          at(10'750, STOPPED)}))
            << delete_ms;
    }
}

} // namespace
} // namespace kestrune::routes
