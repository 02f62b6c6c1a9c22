// Another party renames, deletes or write-protects the log while a child's lines flow into it.
// The open handle keeps working in every case, the next rotation recovers the usual layout, and
// the child is never held up.

#include <gtest/gtest.h>

#include <functional>
#include <mutex>

#include "soak_support.h"

namespace kestrune::soak {
namespace {

// 100-byte lines against a 5000-byte threshold: the 10 lines before the fault and the first
// 40 after it fill the file exactly, so the 41st line after the fault is the first one that
// rotates, and the last 20 go into a fresh file.
const std::string BEFORE = std::string(99, 'a') + "\n";
const std::string AFTER = std::string(99, 'b') + "\n";
constexpr std::uint64_t THRESHOLD = 5000;
constexpr int BEFORE_LINES = 10;
constexpr int AFTER_LINES = 60;
constexpr int AFTER_ROTATION = 20;

std::wstring backup(const std::wstring& path, int n) {
    return path + L"." + std::to_wstring(n);
}

TEST(LogFaults, TheOpenHandleKeepsWritingAndTheNextRotationRecovers) {
    const struct {
        const char* name;
        std::function<bool(const std::wstring& log)> fault;
        // Where the lines written through the old handle end up; empty: nowhere to be read.
        std::function<std::wstring(const std::wstring& log)> old_file;
        bool old_file_read_only;
    } cases[] = {
        {"renamed: the handle follows the file to its new name",
         [](const std::wstring& log) {
             return MoveFileExW(log.c_str(), (log + L".moved").c_str(), 0) != 0;
         },
         [](const std::wstring& log) { return log + L".moved"; }, false},
        {"deleted: share-delete lets it go, the rotation finds nothing to move",
         [](const std::wstring& log) { return DeleteFileW(log.c_str()) != 0; },
         [](const std::wstring&) { return std::wstring(); }, false},
        {"made read-only: the handle was opened for writing and stays so",
         [](const std::wstring& log) {
             return SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_READONLY) != 0;
         },
         [](const std::wstring& log) { return backup(log, 1); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring dir = make_temp_dir(L"log-fault");
        const std::wstring path = dir + L"\\sing-box-service.log";
        const std::wstring go = dir + L"\\go";
        auto log = open_private_log(path, THRESHOLD);
        ASSERT_NE(log, nullptr);

        PumpedStandIn child(
            "{\"steps\": [{\"text\": " + json(BEFORE) +
                ", \"times\": " + std::to_string(BEFORE_LINES) +
                "}, {\"wait_for_file\": " + json(go) + "}, {\"text\": " + json(AFTER) +
                ", \"times\": " + std::to_string(AFTER_LINES) + ", \"sleep_ms\": 1}]}",
            log);
        ASSERT_TRUE(child.started());
        ASSERT_TRUE(eventually([&] { return read_shared(path) == repeat(BEFORE, BEFORE_LINES); }))
            << read_shared(path).size() << " bytes in the log";

        ASSERT_TRUE(c.fault(path)) << "the fault itself failed: " << GetLastError();
        write_file(go, "");
        EXPECT_TRUE(child.exited_within(30000)) << "the child is held up";
        EXPECT_EQ(child.exit_code(), 0u);
        child.join_pumps();

        const std::string through_old_handle =
            repeat(BEFORE, BEFORE_LINES) + repeat(AFTER, AFTER_LINES - AFTER_ROTATION);
        if (const std::wstring old = c.old_file(path); !old.empty()) {
            EXPECT_EQ(read_shared(old), through_old_handle);
            EXPECT_EQ((GetFileAttributesW(old.c_str()) & FILE_ATTRIBUTE_READONLY) != 0,
                      c.old_file_read_only);
        }
        EXPECT_EQ(read_shared(path), repeat(AFTER, AFTER_ROTATION));
        const bool old_is_backup = c.old_file(path) == backup(path, 1);
        EXPECT_EQ(GetFileAttributesW(backup(path, 1).c_str()) != INVALID_FILE_ATTRIBUTES,
                  old_is_backup);
        EXPECT_EQ(GetFileAttributesW(backup(path, 2).c_str()), INVALID_FILE_ATTRIBUTES);

        // The service's own next line lands in the fresh file as well.
        {
            std::lock_guard guard(log->mutex);
            EXPECT_TRUE(log->log.write_line("service line after the fault").ok());
        }
        EXPECT_EQ(read_shared(path),
                  repeat(AFTER, AFTER_ROTATION) + "service line after the fault\n");
        SetFileAttributesW(backup(path, 1).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

} // namespace
} // namespace kestrune::soak
