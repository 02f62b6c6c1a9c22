#include "child/sing_box_child.h"

#include <gtest/gtest.h>

#include "win_test_support.h"

namespace kestrune::child {
namespace {

using namespace test;
using SingBoxChildTest = ChildTest;

std::optional<ExitStatus> poll_until_exited(SingBoxChild& child) {
    std::optional<ExitStatus> status;
    eventually([&] {
        auto polled = child.try_wait();
        EXPECT_TRUE(polled.ok());
        status = polled.ok() ? *polled : std::nullopt;
        return status.has_value();
    });
    return status;
}

// The state comes from the wait, so 259 (STILL_ACTIVE) is an ordinary exit code.
TEST_F(SingBoxChildTest, ReportsTheChildsOwnExitCode) {
    const struct {
        const char* exit_code;
        const char* text;
    } cases[] = {
        {"259", "exit code: 259"},
        {"3", "exit code: 3"},
        {"0", "exit code: 0"},
        {"\"0xC0000005\"", "exit code: 0xc0000005"},
    };
    for (const auto& c : cases) {
        auto child = spawn_stand_in(std::string("{\"exit_code\": ") + c.exit_code + "}");
        ASSERT_TRUE(child.ok()) << child.error();
        const std::optional<ExitStatus> polled = poll_until_exited(*child);
        ASSERT_TRUE(polled.has_value()) << c.text;
        EXPECT_EQ(polled->text(), c.text);
        auto waited = child->wait();
        ASSERT_TRUE(waited.ok());
        EXPECT_EQ(waited->text(), c.text);
    }
}

TEST_F(SingBoxChildTest, KillThenWaitGivesExitCodeOne) {
    auto child = spawn_stand_in("{\"run_ms\": \"forever\", \"exit_code\": 9}");
    ASSERT_TRUE(child.ok()) << child.error();
    auto running = child->try_wait();
    ASSERT_TRUE(running.ok());
    EXPECT_FALSE(running->has_value());

    EXPECT_TRUE(child->kill().ok());
    auto waited = child->wait();
    ASSERT_TRUE(waited.ok());
    EXPECT_EQ(waited->text(), "exit code: 1");
    auto polled = child->try_wait();
    ASSERT_TRUE(polled.ok());
    EXPECT_EQ(*polled, ExitStatus{1});
}

TEST_F(SingBoxChildTest, KillAfterTheChildEndedSucceedsAndKeepsItsCode) {
    auto child = spawn_stand_in("{\"exit_code\": 7}");
    ASSERT_TRUE(child.ok()) << child.error();
    ASSERT_TRUE(child->wait().ok());

    EXPECT_TRUE(child->kill().ok());
    auto waited = child->wait();
    ASSERT_TRUE(waited.ok());
    EXPECT_EQ(waited->text(), "exit code: 7");
}

// Destroying the object closes handles only: the child goes on and its pumps keep copying.
TEST_F(SingBoxChildTest, DestroyingItLeavesTheChildRunningAndLogging) {
    const std::wstring go = make_temp_dir(L"go") + L"\\go";
    const std::string marker = "after destroy " + std::to_string(GetTickCount64());
    {
        auto child = spawn_stand_in("{\"steps\": [{\"text\": \"before destroy\\n\"}, "
                                    "{\"wait_for_file\": " +
                                    json(go) + "}, {\"text\": " + json(marker + "\n") + "}]}");
        ASSERT_TRUE(child.ok()) << child.error();
        SingBoxChild moved = std::move(*child);
    }
    write_file(go, "");
    EXPECT_TRUE(
        eventually([&] { return read_file(log_path()).find(marker + "\n") != std::string::npos; }));
}

} // namespace
} // namespace kestrune::child
