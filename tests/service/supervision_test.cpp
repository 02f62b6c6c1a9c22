#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "fake_child.h"
#include "service/control.h"

namespace kestrune::service::testing {
namespace {

const std::string EXITED = "sing-box exited unexpectedly: exit code: 3";
const std::string RESTARTED = "sing-box restarted successfully";

std::string restarting(int seconds) {
    return "restarting sing-box in " + std::to_string(seconds) + " seconds";
}

// After any run: the loop left the slot empty and no child object is left alive, and the
// child held at the stop was killed and waited for.
void expect_clean_shutdown(FakeWorld& world) {
    EXPECT_FALSE(world.slot().holds_child());
    for (const auto& process : world.processes) {
        EXPECT_TRUE(process->destroyed);
    }
}

struct ScheduleCase {
    const char* name;
    std::vector<Nanos> lifetimes; // the first child and each restarted one, in order
    std::vector<int> delays;      // the expected delay before each restart
};

// Table rows show as their names, in test names and failure messages alike.
template <class Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}
const auto CASE_NAME = [](const auto& info) { return std::string(info.param.name); };

class RestartSchedule : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(RestartSchedule, DelaysFollowTheCountAndResetAfterAStableRun) {
    const ScheduleCase& c = GetParam();
    FakeWorld world;
    std::vector<Nanos> spawned_at;
    world.store_first(c.lifetimes[0]);
    world.spawner = [&]() -> Result<FakeChild> {
        spawned_at.push_back(world.clock);
        const std::size_t n = spawned_at.size();
        if (n == c.lifetimes.size()) {
            world.stop.request(); // the last restart; the loop shuts it down
            return FakeChild(world.make_process(std::nullopt));
        }
        return FakeChild(world.make_process(c.lifetimes[n]));
    };
    world.run();

    std::vector<std::string> expected;
    for (int delay : c.delays) {
        expected.insert(expected.end(), {EXITED, restarting(delay), RESTARTED});
    }
    EXPECT_EQ(world.lines(), expected);
    ASSERT_EQ(spawned_at.size(), c.delays.size());

    // Each child ran its lifetime to the poll that noticed it, and the restart came exactly the
    // delay after that.
    Nanos started{0};
    for (std::size_t i = 0; i < c.delays.size(); ++i) {
        const Nanos noticed = world.log[3 * i].at;
        EXPECT_EQ(noticed - started, c.lifetimes[i]) << "child " << i;
        EXPECT_EQ(spawned_at[i] - noticed, std::chrono::seconds(c.delays[i])) << "restart " << i;
        started = spawned_at[i];
    }
    EXPECT_TRUE(world.processes.back()->killed);
    EXPECT_EQ(world.processes.back()->waits, 1);
    expect_clean_shutdown(world);
}

INSTANTIATE_TEST_SUITE_P(
    Supervision, RestartSchedule,
    ::testing::Values(
        ScheduleCase{"short_runs", {10s, 10s, 10s, 10s, 10s, 10s}, {1, 3, 10, 30, 30, 30}},
        ScheduleCase{"a_60_s_run_resets", {10s, 10s, 10s, 10s, 60s, 10s}, {1, 3, 10, 30, 1, 3}},
        ScheduleCase{"a_long_run_resets", {10s, 10s, 10s, 10s, 10s, 75s}, {1, 3, 10, 30, 30, 1}},
        ScheduleCase{"59_5_s_is_59_whole_seconds",
                     {10s, 10s, 10s, 10s, 59500ms, 10s},
                     {1, 3, 10, 30, 30, 30}}),
    CASE_NAME);

TEST(Supervision, KeepsRetryingAMissingExecutableWithoutResettingTheCount) {
    FakeWorld world;
    world.store_first(10s);
    const std::string error = "spawn sing-box: fake os error 2";
    int attempts = 0;
    world.spawner = [&]() -> Result<FakeChild> {
        if (++attempts == 10) {
            world.stop.request();
        }
        return fail(error);
    };
    world.run();

    // The failed attempts pass STABLE_RUN since the last start; the count must still climb.
    std::vector<std::string> expected{EXITED};
    const int delays[] = {1, 3, 10, 30, 30, 30, 30, 30, 30, 30};
    for (int delay : delays) {
        expected.insert(expected.end(), {restarting(delay), "sing-box restart failed: " + error});
    }
    expected.push_back(restarting(30)); // the eleventh attempt sees the stop in its delay
    EXPECT_EQ(world.lines(), expected);
    EXPECT_EQ(attempts, 10);
    expect_clean_shutdown(world);
}

TEST(Supervision, AStopWhileTheChildRunsIsNotACrash) {
    FakeWorld world;
    auto first = world.store_first(std::nullopt);
    std::vector<std::string> order;
    world.on_pause = [&] {
        if (world.clock != 5s) {
            return;
        }
        const auto result = handle_control(
            CONTROL_STOP, world.stop,
            [&] { order.push_back(first->ended() ? "report after death" : "report"); },
            world.current);
        order.push_back(first->killed ? "killed" : "alive");
        EXPECT_EQ(result, CONTROL_HANDLED);
    };
    world.spawner = [&]() -> Result<FakeChild> {
        ADD_FAILURE() << "no restart after a stop";
        return fail("unexpected");
    };
    world.run();

    EXPECT_EQ(order, (std::vector<std::string>{"report", "killed"}));
    EXPECT_EQ(first->code(), 1u);
    EXPECT_EQ(first->waits, 1);
    EXPECT_TRUE(world.lines().empty()); // neither the exit nor the shutdown is logged
    expect_clean_shutdown(world);
}

TEST(Supervision, AnExitSeenTogetherWithAStopIsDroppedUnlogged) {
    // The handler set the stop while the child ended by itself: the poll finds the exit, the
    // check after it finds the stop.
    FakeWorld world;
    auto first = world.store_first(10s);
    first->on_try_wait = [&] {
        if (first->ended()) {
            world.stop.request();
        }
    };
    world.spawner = [&]() -> Result<FakeChild> {
        ADD_FAILURE() << "no restart after a stop";
        return fail("unexpected");
    };
    world.run();

    EXPECT_TRUE(world.lines().empty());
    EXPECT_FALSE(first->killed);
    expect_clean_shutdown(world);
}

TEST(Supervision, AStopDuringARestartDelayIsNoticedWithinOneTick) {
    // Three failed attempts, then a stop 12.3 s into the 30 s delay of the fourth.
    FakeWorld world;
    world.store_first(10s);
    int attempts = 0;
    world.spawner = [&]() -> Result<FakeChild> {
        ++attempts;
        return fail("spawn sing-box: fake os error 2");
    };
    const Nanos stop_after = 10s + 1s + 3s + 10s + 12300ms;
    std::optional<Nanos> requested_at;
    std::size_t pauses_before_stop = 0;
    world.on_pause = [&] {
        if (!requested_at && world.clock >= stop_after) {
            requested_at = world.clock;
            pauses_before_stop = world.pauses.size();
            world.stop.request();
        }
    };
    world.run();

    ASSERT_TRUE(requested_at.has_value());
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(world.lines().back(), restarting(30));
    // Seen at the next tick check: one poll pause before shutdown, no further delay tick.
    const std::vector<std::chrono::milliseconds> after(world.pauses.begin() + pauses_before_stop,
                                                       world.pauses.end());
    EXPECT_EQ(after, std::vector<std::chrono::milliseconds>{POLL_INTERVAL});
    EXPECT_LE(world.clock - *requested_at, DELAY_TICK + POLL_INTERVAL);
    expect_clean_shutdown(world);
}

struct EventCase {
    const char* name;
    std::uint32_t exit_code;
    std::optional<OsError> try_wait_error;
    bool empty_slot;
    std::string message;
};

class ChildEvents : public ::testing::TestWithParam<EventCase> {};

TEST_P(ChildEvents, AreLoggedThenRestartedAfterOneSecond) {
    const EventCase& c = GetParam();
    FakeWorld world;
    std::shared_ptr<FakeProcess> first;
    if (c.empty_slot) {
        (void)world.slot();
    } else {
        first = world.store_first(2s, c.exit_code);
        first->try_wait_error = c.try_wait_error;
    }
    world.spawner = [&]() -> Result<FakeChild> {
        world.stop.request();
        return FakeChild(world.make_process(std::nullopt));
    };
    world.run();

    EXPECT_EQ(world.lines(), (std::vector<std::string>{c.message, restarting(1), RESTARTED}));
    if (first) {
        EXPECT_FALSE(first->killed) << "an ended or unpollable child is destroyed, not killed";
        EXPECT_EQ(first->waits, 0);
    }
    expect_clean_shutdown(world);
}

INSTANTIATE_TEST_SUITE_P(
    Supervision, ChildEvents,
    ::testing::Values(
        EventCase{"decimal", 3, {}, false, "sing-box exited unexpectedly: exit code: 3"},
        EventCase{
            "still_active_value", 259, {}, false, "sing-box exited unexpectedly: exit code: 259"},
        EventCase{"access_violation",
                  0xC0000005u,
                  {},
                  false,
                  "sing-box exited unexpectedly: exit code: 0xc0000005"},
        EventCase{"bit_31_only",
                  0x80000000u,
                  {},
                  false,
                  "sing-box exited unexpectedly: exit code: 0x80000000"},
        EventCase{"wait_failed", 0, OsError{6}, false, "sing-box wait failed: fake os error 6"},
        EventCase{"missing_child", 0, {}, true, "sing-box child handle is missing"}),
    CASE_NAME);

TEST(Supervision, ShutdownIgnoresKillErrorsAndStillEmptiesTheSlot) {
    FakeWorld world;
    auto first = world.store_first(std::nullopt);
    first->kill_error = OsError{5};
    world.stop.request();
    world.run();

    EXPECT_EQ(first->waits, 1);
    EXPECT_TRUE(world.lines().empty());
    EXPECT_TRUE(world.pauses.empty()); // a stop before the first poll ends the loop at once
    expect_clean_shutdown(world);
}

} // namespace
} // namespace kestrune::service::testing
