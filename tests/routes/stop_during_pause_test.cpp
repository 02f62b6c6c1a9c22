#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "routes/ports/background_read.h"
#include "routes/protection_loop.h"

namespace kestrune::routes {
namespace {

// The worker on a real thread, its pause held open by the test: a stop requested during the
// pause is seen only when the pause has ended, and no further pass runs.
TEST(ProtectionLoopThread, StopIsNoticedOnlyAfterThePauseEnds) {
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<std::string> events;
    auto record = [&](std::string what) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(what));
    };
    std::promise<void> pause_entered;
    std::promise<void> release_pause;
    std::shared_future<void> released = release_pause.get_future().share();

    ProtectionDependencies deps;
    deps.detect_peers = [&](const WatchedPorts&) -> Result<PeerSet> {
        record("detect");
        return PeerSet{{{5, 6, 7, 8}, PeerState::established}};
    };
    deps.read_rdp_port = [] { return RdpPortWatch::Reading(DEFAULT_RDP_PORT); };
    deps.route_in_place = [](IpAddress, const PhysicalRoutes&) -> Result<bool> { return false; };
    deps.run_route_command = [&](std::string_view verb, IpAddress peer,
                                 const PhysicalRoutes&) -> Status {
        record(std::string(verb) + " " + peer.to_string());
        return {};
    };
    deps.log = [&](std::string_view line) { record(std::string(line)); };
    deps.now_seconds = [] { return std::uint64_t{0}; };
    deps.pause = [&] {
        record("pause begins");
        pause_entered.set_value();
        released.wait();
        record("pause ends");
    };

    std::thread worker([&] {
        run_protection_loop(stop, PeerTracker(), deps, {PhysicalRoute{{10, 0, 0, 1}, 7}, {}});
    });
    pause_entered.get_future().wait();
    stop.store(true);
    {
        std::lock_guard lock(mutex);
        // The worker is parked in the pause: nothing after it can have happened.
        EXPECT_EQ(events.back(), "pause begins");
    }
    release_pause.set_value();
    worker.join();

    EXPECT_EQ(events, (std::vector<std::string>{"detect", "ADD 5.6.7.8",
                                                "RDP physical return route added for 5.6.7.8",
                                                "pause begins", "pause ends", "DELETE 5.6.7.8",
                                                "RDP route protection stopped"}));
}

} // namespace
} // namespace kestrune::routes

namespace kestrune::routes {
namespace {

// The real pool: never more runs at once than its slots, every outcome handed back, and a
// waiter woken by each end.
// A reading on a thread of its own: taken once it has finished, never twice, one at a time; one
// still running when its owner is gone finishes on its own.
TEST(BackgroundReadThread, TakesAFinishedReadingOnceAndOutlivesItsOwner) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> reads{0};
    std::thread last;
    const auto runner = [&](std::function<void()> job) { last = std::thread(std::move(job)); };
    {
        BackgroundRead<int> read(
            [&] {
                released.wait();
                return ++reads;
            },
            runner);
        read.start();
        read.start(); // one runs already
        EXPECT_FALSE(read.take());
        release.set_value();
        last.join();
        EXPECT_EQ(read.take(), std::optional(1));
        EXPECT_FALSE(read.take());
        read.start();
    } // gone while its second reading may still run
    last.join();
    EXPECT_EQ(reads.load(), 2);
}

TEST(ThreadedRoutePool, RunsAtMostItsSlotsAndHandsBackEveryOutcome) {
    std::mutex mutex;
    std::condition_variable both;
    int running = 0;
    int started = 0;
    int most = 0;
    ThreadedRoutePool pool(
        [&](std::string_view verb, IpAddress, const PhysicalRoutes&, std::chrono::milliseconds) {
            // Each run waits for a second one, so the two slots are always both in use.
            std::unique_lock lock(mutex);
            most = std::max(most, ++running);
            ++started;
            both.notify_all();
            both.wait_for(lock, std::chrono::seconds(5), [&] { return started % 2 == 0; });
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            lock.lock();
            --running;
            return verb == "ADD" ? Status{} : fail(std::string("no"));
        },
        2);
    std::vector<RouteOutcome> outcomes;
    for (std::uint8_t i = 0; outcomes.size() < 6;) {
        while (i < 6 && pool.free_slots() > 0) {
            pool.start({i % 2 ? "ADD" : "DELETE", {1, 0, 0, i++}, std::chrono::seconds(10), {}});
        }
        EXPECT_TRUE(pool.wait_until(pool.now_ms() + 10'000));
        for (RouteOutcome& outcome : pool.take_finished()) {
            outcomes.push_back(std::move(outcome));
        }
    }
    EXPECT_EQ(most, 2);
    EXPECT_EQ(pool.running(), 0u);
    for (const RouteOutcome& outcome : outcomes) {
        EXPECT_EQ(outcome.status.ok(), outcome.job.verb == "ADD");
    }
}

} // namespace
} // namespace kestrune::routes
