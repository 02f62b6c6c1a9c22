#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_child.h"
#include "service/control.h"

namespace kestrune::service::testing {
namespace {

struct Handler {
    FakeWorld world;
    int reports = 0;
    std::vector<std::string> order;

    std::uint32_t send(std::uint32_t control) {
        return handle_control(
            control, world.stop,
            [&] {
                ++reports;
                order.push_back(world.stop.requested() ? "report after request"
                                                       : "report before request");
            },
            world.current);
    }
};

TEST(ControlHandler, ControlsOtherThanStopChangeNothing) {
    for (std::uint32_t control : {CONTROL_PAUSE, CONTROL_INTERROGATE, std::uint32_t{3},
                                  std::uint32_t{5}, std::uint32_t{0x0F}, std::uint32_t{0}}) {
        Handler handler;
        auto process = handler.world.store_first(std::nullopt);
        EXPECT_EQ(handler.send(control), CONTROL_HANDLED) << control;
        EXPECT_EQ(handler.reports, 0) << control;
        EXPECT_FALSE(handler.world.stop.requested()) << control;
        EXPECT_FALSE(process->killed) << control;
    }
}

TEST(ControlHandler, StopReportsThenRequestsThenKillsInPlace) {
    Handler handler;
    auto process = handler.world.store_first(std::nullopt);
    process->on_try_wait = [] { ADD_FAILURE() << "the handler only kills, it never polls"; };
    EXPECT_EQ(handler.send(CONTROL_STOP), CONTROL_HANDLED);

    EXPECT_EQ(handler.order, std::vector<std::string>{"report before request"});
    EXPECT_TRUE(process->killed);
    EXPECT_EQ(process->waits, 0);
    // The loop, not the handler, waits for and destroys the child.
    EXPECT_TRUE(handler.world.slot().holds_child());
    EXPECT_FALSE(process->destroyed);
}

TEST(ControlHandler, StopBeforeTheSlotExistsDoesNotCreateIt) {
    Handler handler;
    EXPECT_EQ(handler.send(CONTROL_STOP), CONTROL_HANDLED);
    EXPECT_TRUE(handler.world.stop.requested());
    EXPECT_EQ(handler.reports, 1);
    EXPECT_EQ(handler.world.current.existing(), nullptr);
}

TEST(ControlHandler, StopWithAnEmptySlotOrAFailingKillStillSucceeds) {
    Handler empty;
    (void)empty.world.slot();
    EXPECT_EQ(empty.send(CONTROL_STOP), CONTROL_HANDLED);
    EXPECT_EQ(empty.reports, 1);
    EXPECT_FALSE(empty.world.slot().holds_child());

    Handler failing;
    auto process = failing.world.store_first(std::nullopt);
    process->kill_error = OsError{5};
    EXPECT_EQ(failing.send(CONTROL_STOP), CONTROL_HANDLED);
    EXPECT_EQ(failing.reports, 1);
    EXPECT_FALSE(process->killed);
    EXPECT_TRUE(failing.world.stop.requested());
}

TEST(ChildSlot, StoreDestroysTheChildItReplaces) {
    FakeWorld world;
    auto old_process = world.store_first(std::nullopt);
    auto new_process = world.store_first(std::nullopt);
    EXPECT_TRUE(old_process->destroyed);
    EXPECT_FALSE(old_process->killed) << "replacing a child never ends its process";
    EXPECT_FALSE(new_process->destroyed);

    const auto polled = world.slot().try_wait();
    ASSERT_TRUE(polled.has_value());
    ASSERT_TRUE(polled->ok());
    EXPECT_FALSE(polled->value().has_value()); // still running, and still held
    EXPECT_TRUE(world.slot().holds_child());

    world.slot().release();
    EXPECT_TRUE(new_process->destroyed);
    EXPECT_FALSE(world.slot().try_wait().has_value());
    EXPECT_FALSE(world.slot().kill().has_value());
    EXPECT_FALSE(world.slot().wait().has_value());
}

} // namespace
} // namespace kestrune::service::testing
