// The protection loop with the real route.exe runner against a route.exe stand-in that fails
// or hangs, a TCP table that fails now and then, and the real log: one line per failure key,
// the loop goes on through every failure, and it stops cleanly with the owned routes'
// deletions tried.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "logging/log_sink.h"
#include "routes/commands/route_runner.h"
#include "routes/peers/peer_tracker.h"
#include "routes/peers/tcp_table.h"
#include "routes/ports/rdp_port_registry.h"
#include "routes/protection_loop.h"
#include "soak_support.h"
#include "win/wide.h"

namespace kestrune::routes {
namespace {

using namespace kestrune::test;
using soak::count_lines;
using soak::read_shared;

const PhysicalRoute PHYSICAL{{10, 1, 2, 1}, 7};
const Ipv4Address FIRST{5, 6, 7, 8};
const Ipv4Address SECOND{9, 9, 9, 9};
constexpr int PASS_MS = 250;

// A new WINDIR with the stand-in as System32\route.exe; returns that System32.
std::wstring use_route_stand_in() {
    const std::wstring windir = make_temp_dir(L"windir");
    const std::wstring system32 = windir + L"\\System32";
    make_directory_chain(system32);
    EXPECT_TRUE(
        CopyFileW(route_stand_in_path().c_str(), (system32 + L"\\route.exe").c_str(), FALSE));
    // Wine sets WINDIR from the Linux side at start, so it is replaced from in here.
    EXPECT_TRUE(SetEnvironmentVariableW(L"WINDIR", windir.c_str()));
    return system32;
}

std::string route_exe_line(const std::wstring& system32, const char* verb, const char* peer) {
    return "\"" + win::narrow_lossy(system32) + "\\route.exe\" " + verb + " " + peer +
           " MASK 255.255.255.255 10.1.2.1 METRIC 1 IF 7\n";
}

TEST(RouteFailureSoak, FailingRouteExeAndTcpTableAreLoggedOncePerKeyAndTheLoopStopsCleanly) {
    const std::wstring system32 = use_route_stand_in();
    const std::wstring log_path = soak::use_new_programdata("{}");
    const auto route_exe_exits_with = [&](const char* code) {
        write_file(system32 + L"\\route-exit-code.txt", code);
    };

    // Passes 0-11: ADD fails (route.exe exits with 1), the table fails in passes 4-5 and 9-10.
    // Pass 12: ADD succeeds. From pass 13 both peers are gone and route.exe fails again; with a
    // 2-second TTL they expire in pass 20, whose DELETEs fail, as do all later ones. Stop after
    // pass 23.
    constexpr int LAST_PASS = 23;
    int pass = 0;
    route_exe_exits_with("1");
    // The first outage fails the sizing call; in the second the table grows between the two
    // calls.
    const TcpTableCall refused = [](void*, std::uint32_t*) -> std::uint32_t {
        return ERROR_NOT_SUPPORTED;
    };
    const TcpTableCall grown = [](void*, std::uint32_t* size) -> std::uint32_t {
        *size = 4 + 20; // the header and one row
        return ERROR_INSUFFICIENT_BUFFER;
    };
    std::atomic<bool> stop{false};
    ProtectionDependencies deps;
    deps.detect_peers = [&](const WatchedPorts&) -> Result<PeerSet> {
        if (pass >= 4 && pass <= 5) {
            return read_rdp_peers(refused);
        }
        if (pass >= 9 && pass <= 10) {
            return read_rdp_peers(grown);
        }
        return pass <= 12
                   ? PeerSet{{FIRST, PeerState::established}, {SECOND, PeerState::established}}
                   : PeerSet{};
    };
    // The real registry read: Wine's prefix sets no PortNumber, which must log nothing.
    deps.read_rdp_port = read_rdp_port;
    // The routing table as the stand-in's commands would leave it.
    std::set<IpAddress> in_place;
    deps.route_in_place = [&](IpAddress peer, const PhysicalRoutes&) -> Result<bool> {
        return in_place.contains(peer);
    };
    deps.run_route_command = [&](std::string_view verb, IpAddress peer, const PhysicalRoutes& via) {
        Status status = run_route_command(verb, peer, via);
        if (status) {
            verb == "ADD" ? (void)in_place.insert(peer) : (void)in_place.erase(peer);
        }
        return status;
    };
    deps.log = [](std::string_view text) { logging::log_line(text); };
    deps.now_seconds = [&] { return static_cast<std::uint64_t>(pass) * PASS_MS / 1000; };
    deps.pause = [&] {
        ++pass;
        if (pass == 12) {
            route_exe_exits_with("0");
        } else if (pass == 13) {
            route_exe_exits_with("1");
        } else if (pass > LAST_PASS) {
            stop = true;
        }
    };
    PeerTracker tracker(2);
    tracker.set_random([] { return std::uint64_t{0}; }); // both peers in address order
    run_protection_loop(stop, tracker, deps, {PHYSICAL, {}});
    EXPECT_EQ(pass, LAST_PASS + 1);

    const std::string log = read_shared(log_path);
    EXPECT_EQ(log, "RDP route add failed: route.exe ADD 5.6.7.8 exited with exit code: 1\n"
                   "RDP route add failed: route.exe ADD 9.9.9.9 exited with exit code: 1\n"
                   "RDP peer detection failed: GetExtendedTcpTable sizing failed: 50\n"
                   "RDP peer detection failed: GetExtendedTcpTable failed: 122\n"
                   "RDP physical return route added for 5.6.7.8\n"
                   "RDP physical return route added for 9.9.9.9\n"
                   "RDP route removal failed: route.exe DELETE 5.6.7.8 exited with exit code: 1\n"
                   "RDP route removal failed: route.exe DELETE 9.9.9.9 exited with exit code: 1\n"
                   "RDP route protection left 2 host routes in place\n"
                   "RDP route protection stopped\n");

    // Every pass retried what had failed: ADD in passes 0-12, DELETE in passes 20-23 and once
    // more at the stop.
    const std::string record = read_shared(system32 + L"\\route-record.txt");
    for (const char* peer : {"5.6.7.8", "9.9.9.9"}) {
        SCOPED_TRACE(peer);
        EXPECT_EQ(count_lines(record, route_exe_line(system32, "ADD", peer)), 13u);
        EXPECT_EQ(count_lines(record, route_exe_line(system32, "DELETE", peer)), 5u);
    }
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 36);
}

// A route.exe that hangs: each ADD fails once the bound has passed, one line in all, and is
// tried again every pass; once route.exe answers the route is added, and the stop ends even
// though its DELETE hangs too.
TEST(RouteFailureSoak, AHungRouteExeTimesOutIsLoggedOnceAndRetried) {
    const std::wstring system32 = use_route_stand_in();
    const std::wstring hold = system32 + L"\\route-hold.txt";
    write_file(hold, ""); // every run hangs
    std::atomic<bool> stop{false};
    int pass = 0;
    std::vector<std::string> log;
    ProtectionDependencies deps;
    deps.detect_peers = [](const WatchedPorts&) -> Result<PeerSet> {
        return PeerSet{{FIRST, PeerState::established}};
    };
    deps.read_rdp_port = read_rdp_port;
    // Added once route.exe answers; the DELETE that times out leaves it in place.
    bool added = false;
    deps.route_in_place = [&](IpAddress, const PhysicalRoutes&) -> Result<bool> { return added; };
    deps.run_route_command = [&](std::string_view verb, IpAddress peer, const PhysicalRoutes& via) {
        // Short for the test, long enough for a stand-in that answers on a loaded machine.
        Status status = run_route_command(verb, peer, via, std::chrono::seconds(3));
        added = added || (status && verb == "ADD");
        return status;
    };
    deps.log = [&](std::string_view text) { log.emplace_back(text); };
    deps.now_seconds = [] { return std::uint64_t{0}; };
    deps.pause = [&] {
        ++pass;
        if (pass == 2) {
            write_file(hold, "DELETE"); // ADD answers from pass 2 on
        } else if (pass == 4) {
            stop = true;
        }
    };
    run_protection_loop(stop, PeerTracker(), deps, {PHYSICAL, {}});

    EXPECT_EQ(log, (std::vector<std::string>{
                       "RDP route add failed: route.exe ADD 5.6.7.8: route.exe did not finish "
                       "within 3 seconds",
                       "RDP physical return route added for 5.6.7.8",
                       "RDP route protection left 1 host routes in place",
                       "RDP route protection stopped"}));
    const std::string record = read_shared(system32 + L"\\route-record.txt");
    EXPECT_EQ(count_lines(record, route_exe_line(system32, "ADD", "5.6.7.8")), 3u);
    EXPECT_EQ(count_lines(record, route_exe_line(system32, "DELETE", "5.6.7.8")), 1u);
}

} // namespace
} // namespace kestrune::routes
