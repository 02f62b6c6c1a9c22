// The data directory on a file system that fills up (a small tmpfs mounted by disk_full.sh and
// named in KESTRUNE_SOAK_FULL_DIR): while it is full the child's lines and the service's own
// are lost, the pumps keep draining and the child never blocks; once space returns the very
// next lines are logged again.

#include <gtest/gtest.h>

#include <mutex>
#include <optional>

#include "logging/log_directory.h"
#include "logging/log_sink.h"
#include "logging/shared_log.h"
#include "soak_support.h"

namespace kestrune::soak {
namespace {

// Writes until the file system refuses even one more byte; returns the last error.
DWORD fill(const std::wstring& path) {
    const win::UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) {
        return GetLastError();
    }
    const std::string block(65536, 'f');
    for (const DWORD size : {65536u, 4096u, 1u}) {
        DWORD written = 0;
        while (WriteFile(file.get(), block.data(), size, &written, nullptr) && written > 0) {
        }
    }
    return GetLastError();
}

TEST(DiskFull, LinesAreLostWhileFullAndLoggedAgainOnceSpaceReturns) {
    const std::optional<std::wstring> full_dir =
        logging::environment_variable(L"KESTRUNE_SOAK_FULL_DIR");
    if (!full_dir) {
        GTEST_SKIP() << "run by disk_full.sh, which mounts the small file system";
    }
    SetEnvironmentVariableW(L"PROGRAMDATA", full_dir->c_str());
    auto log = logging::shared_log();
    ASSERT_TRUE(log.ok()) << log.error();
    const std::wstring log_path = *full_dir + L"\\KestruneConnect\\sing-box-service.log";
    ASSERT_EQ(read_shared(log_path), "") << "the log must start empty, with no block to spare";

    const std::wstring filler = *full_dir + L"\\filler";
    ASSERT_EQ(fill(filler), static_cast<DWORD>(ERROR_DISK_FULL));
    logging::log_line("lost: the service's line while full");

    const std::string LOST = "lost: the child's line while full\n";
    const std::string KEPT = "kept: the child's line after space returned\n";
    const std::wstring go = make_temp_dir(L"disk-full") + L"\\go";
    std::mutex results_mutex;
    std::vector<Status> results;
    PumpedStandIn child(
        "{\"steps\": [{\"text\": " + json(LOST) + ", \"times\": 200}, {\"text\": " + json(LOST) +
            ", \"times\": 50, \"stream\": \"stderr\"}, {\"wait_for_file\": " + json(go) +
            "}, {\"text\": " + json(KEPT) + ", \"times\": 50}]}",
        [&](std::string_view line) {
            Status written = [&] {
                std::lock_guard guard((*log)->mutex);
                return (*log)->log.write_line(line);
            }();
            std::lock_guard guard(results_mutex);
            results.push_back(written);
            return written;
        });
    ASSERT_TRUE(child.started());
    const auto handed_over = [&] {
        std::lock_guard guard(results_mutex);
        return results.size();
    };
    // Every line reached the log while it was full, and none could be written.
    ASSERT_TRUE(eventually([&] { return handed_over() == 250; })) << handed_over() << " lines";
    {
        std::lock_guard guard(results_mutex);
        for (const Status& result : results) {
            ASSERT_FALSE(result.ok());
            EXPECT_NE(result.error().find("(os error 112)"), std::string::npos) << result.error();
        }
    }
    EXPECT_EQ(read_shared(log_path), "");

    ASSERT_TRUE(DeleteFileW(filler.c_str()));
    logging::log_line("space is back");
    write_file(go, "");
    EXPECT_TRUE(child.exited_within(30000)) << "the child is held up";
    EXPECT_EQ(child.exit_code(), 0u);
    child.join_pumps();

    EXPECT_EQ(read_shared(log_path), "space is back\n" + repeat(KEPT, 50));
    std::lock_guard guard(results_mutex);
    ASSERT_EQ(results.size(), 300u);
    for (std::size_t i = 250; i < results.size(); ++i) {
        EXPECT_TRUE(results[i].ok()) << results[i].error();
    }
}

} // namespace
} // namespace kestrune::soak
