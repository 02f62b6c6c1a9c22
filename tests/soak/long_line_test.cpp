// A child that writes 20 MiB without a line feed and then ends the line: the pump collects it
// whole and the log writes it as one line into a fresh file, although it is twice the rotation
// threshold; the service logs on afterwards.

#include <gtest/gtest.h>

#include "child/spawn.h"
#include "logging/log_sink.h"
#include "soak_support.h"

namespace kestrune::soak {
namespace {

TEST(LongLine, TwentyMebibytesWithoutALineFeedBecomeOneLineInAFreshFile) {
    constexpr std::size_t LONG = 20 * 1024 * 1024;
    const std::wstring log = use_new_programdata(
        "{\"steps\": [{\"pattern\": \"0123456789abcdef\", \"bytes\": " + std::to_string(LONG) +
        ", \"chunk\": 65536}, {\"text\": \"\\n\"}, {\"text\": \"short line\\n\"}]}");
    logging::log_line("service line before the long one");
    ASSERT_EQ(read_shared(log), "service line before the long one\n")
        << "the first log of this process";

    const DWORD threads = thread_count();
    auto child = child::spawn_sing_box_from(make_service_dir());
    ASSERT_TRUE(child.ok()) << child.error();
    auto status = child->wait();
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(status->code, 0u);
    // The pumps are detached; once both have ended, everything they will write is in the log.
    ASSERT_TRUE(eventually([&] { return thread_count() == threads; }));

    std::string expected_long;
    expected_long.reserve(LONG + 1);
    while (expected_long.size() < LONG) {
        expected_long += "0123456789abcdef";
    }
    expected_long += "\n";
    // The long line rotated the service's line out and went whole into the fresh file; the short
    // line after it rotated again, as the file was already past the threshold.
    EXPECT_EQ(read_shared(log + L".2"), "service line before the long one\n");
    const std::string long_file = read_shared(log + L".1");
    EXPECT_EQ(long_file.size(), LONG + 1);
    EXPECT_TRUE(long_file == expected_long) << "the long line was split or altered";
    EXPECT_EQ(read_shared(log), "short line\n");

    logging::log_line("service still logging");
    EXPECT_EQ(read_shared(log), "short line\nservice still logging\n");
}

} // namespace
} // namespace kestrune::soak
