#include "logging/rotating_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logging/shared_log.h"
#include "win_test_files.h"

namespace kestrune::logging {
namespace {

using namespace testing;
using ::testing::EndsWith;

constexpr std::uint64_t MAX = LOG_MAX_BYTES;

class RealRotation : public ::testing::Test {
  protected:
    RotatingLog open(std::uint64_t max_bytes = MAX, std::uint64_t max_backups = LOG_MAX_BACKUPS) {
        Result<RotatingLog> log = RotatingLog::open(path, max_bytes, max_backups);
        EXPECT_TRUE(log.ok()) << log.error();
        return std::move(log).value();
    }
    std::wstring backup(int n) const { return path + L"." + std::to_wstring(n); }

    TempDir dir;
    const std::wstring path = dir / L"sing-box-service.log";
};

TEST_F(RealRotation, FileAtTheLimitIsRotatedBeforeTheFirstLine) {
    make_file_of_size(path, MAX, "old head");
    RotatingLog log = open();
    EXPECT_EQ(file_size(backup(1)), MAX);
    EXPECT_EQ(file_size(path), 0u);
    EXPECT_EQ(log.current_size(), 0u);
    ASSERT_TRUE(log.write_line("first").ok());
    EXPECT_EQ(read_file(path), "first\n");
    EXPECT_EQ(read_file(backup(1))->substr(0, 8), "old head");
}

TEST_F(RealRotation, FileBelowTheLimitIsAppendedToUpToExactlyTheLimit) {
    make_file_of_size(path, MAX - 1, "old head");
    RotatingLog log = open();
    EXPECT_FALSE(exists(backup(1)));
    EXPECT_EQ(log.current_size(), MAX - 1);
    ASSERT_TRUE(log.write_line("").ok()); // the line feed alone: exactly the limit
    EXPECT_EQ(file_size(path), MAX);
    EXPECT_FALSE(exists(backup(1)));
    const std::string content = *read_file(path);
    EXPECT_EQ(content.substr(0, 8), "old head");
    EXPECT_EQ(content.back(), '\n');

    ASSERT_TRUE(log.write_line("next").ok()); // past the limit: rotated first
    EXPECT_EQ(file_size(backup(1)), MAX);
    EXPECT_EQ(read_file(path), "next\n");
}

TEST_F(RealRotation, TheAddedLineFeedCountsTowardsTheLimit) {
    make_file_of_size(path, MAX - 2);
    RotatingLog log = open();
    ASSERT_TRUE(log.write_line("ab").ok()); // 2 bytes would fit, 3 with the line feed do not
    EXPECT_EQ(file_size(backup(1)), MAX - 2);
    EXPECT_EQ(read_file(path), "ab\n");
}

TEST_F(RealRotation, OverlongLineGoesWholeIntoAFreshFileThenTheNextLineRotates) {
    RotatingLog log = open();
    const std::string huge(MAX + 1, 'h');
    ASSERT_TRUE(log.write_line(huge).ok());
    EXPECT_FALSE(exists(backup(1)));
    EXPECT_EQ(file_size(path), MAX + 2);
    ASSERT_TRUE(log.write_line("after").ok());
    EXPECT_EQ(file_size(backup(1)), MAX + 2);
    EXPECT_EQ(read_file(path), "after\n");
}

TEST_F(RealRotation, FullChainShiftsUpAndDropsTheOldest) {
    write_file(path, "now");
    write_file(backup(1), "one");
    write_file(backup(2), "two");
    write_file(backup(3), "three");
    RotatingLog log = open(100);
    ASSERT_TRUE(log.rotate().ok());
    EXPECT_EQ(read_file(backup(3)), "two");
    EXPECT_EQ(read_file(backup(2)), "one");
    EXPECT_EQ(read_file(backup(1)), "now");
    EXPECT_EQ(read_file(path), "");
    EXPECT_FALSE(exists(backup(4)));
}

TEST_F(RealRotation, GapsInTheChainAreSkipped) {
    write_file(path, "now");
    write_file(backup(2), "two");
    RotatingLog log = open(100);
    ASSERT_TRUE(log.rotate().ok());
    EXPECT_EQ(read_file(backup(3)), "two");
    EXPECT_FALSE(exists(backup(2)));
    EXPECT_EQ(read_file(backup(1)), "now");
    EXPECT_EQ(read_file(path), "");
}

TEST_F(RealRotation, ReadOnlyOldestBackupIsReplaced) {
    // On Windows the delete's retry removes it; Wine refuses that retry but lets the rename
    // of backup 2 replace a read-only target. Either way the old backup 3 is gone.
    write_file(path, "now");
    write_file(backup(2), "two");
    write_file(backup(3), "three");
    ASSERT_TRUE(SetFileAttributesW(backup(3).c_str(), FILE_ATTRIBUTE_READONLY));
    RotatingLog log = open(100);
    ASSERT_TRUE(log.rotate().ok());
    EXPECT_EQ(read_file(backup(3)), "two");
    EXPECT_EQ(GetFileAttributesW(backup(3).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(read_file(backup(1)), "now");
}

TEST_F(RealRotation, LogDeletedBySomeoneElseIsNotRenamed) {
    RotatingLog log = open(10);
    ASSERT_TRUE(log.write_line("12345").ok());
    ASSERT_TRUE(DeleteFileW(path.c_str())); // shared for deletion while open
    ASSERT_TRUE(log.write_line("678901").ok());
    EXPECT_FALSE(exists(backup(1)));
    EXPECT_EQ(read_file(path), "678901\n");
}

TEST_F(RealRotation, AReaderThatDoesNotShareDeletionPutsTheRotationOffAndLosesNothing) {
    write_file(backup(1), "one");
    write_file(backup(2), "two");
    write_file(backup(3), "three");
    Result<RotatingLog> opened = RotatingLog::open(path, 10, LOG_MAX_BACKUPS, WinFiles{}, 8);
    ASSERT_TRUE(opened.ok()) << opened.error();
    RotatingLog log = std::move(opened).value();
    ASSERT_TRUE(log.write_line("123456").ok());
    for (const std::wstring& held : {path, backup(2)}) {
        // Holds the log or a backup without sharing deletion: it cannot be renamed meanwhile.
        win::UniqueHandle blocker(CreateFileW(held.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(blocker.valid());
        ASSERT_TRUE(log.write_line("abcd").ok()); // past the limit: the rotation is put off
        ASSERT_TRUE(log.write_line("efgh").ok()); // past the next attempt: still held
        EXPECT_TRUE(log.is_open());
    }
    const std::string lines = "123456\nabcd\nefgh\nabcd\nefgh\n";
    EXPECT_EQ(read_file(path), lines);
    EXPECT_EQ(read_file(backup(1)), "one");
    EXPECT_EQ(read_file(backup(2)), "two");
    EXPECT_EQ(read_file(backup(3)), "three");

    ASSERT_TRUE(log.write_line("ijklmnop").ok()); // the reader has gone: rotated as usual
    EXPECT_EQ(read_file(backup(1)), lines);
    EXPECT_EQ(read_file(backup(2)), "one");
    EXPECT_EQ(read_file(backup(3)), "two");
    EXPECT_EQ(read_file(path), "ijklmnop\n");
}

TEST_F(RealRotation, FailedReopenIsRetriedByLaterLines) {
    // Without backups a rotation deletes the log and opens it anew. A directory standing at
    // the log's path (with a file in it, so nothing deletes it) makes that open fail.
    RotatingLog log = open(10, 0);
    ASSERT_TRUE(log.write_line("123456").ok());
    ASSERT_TRUE(MoveFileExW(path.c_str(), (dir / L"moved-away").c_str(), 0));
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    write_file(path + L"\\inside", "x");

    Status failed = log.write_line("abcd");
    ASSERT_FALSE(failed.ok());
    EXPECT_THAT(failed.error(), EndsWith("(os error 5)")); // ERROR_ACCESS_DENIED
    EXPECT_FALSE(log.is_open());
    EXPECT_EQ(log.current_size(), 0u);
    EXPECT_FALSE(log.write_line("lost").ok()); // the reopen is tried and fails again

    remove_tree(path);
    ASSERT_TRUE(log.write_line("back").ok());
    EXPECT_TRUE(log.is_open());
    EXPECT_EQ(read_file(path), "back\n");
    EXPECT_EQ(read_file(dir / L"moved-away"), "123456\n");
}

TEST_F(RealRotation, OpenFailureIsTheOsError) {
    Result<RotatingLog> log = RotatingLog::open(dir / L"missing\\x.log", MAX, 3);
    ASSERT_FALSE(log.ok());
    EXPECT_THAT(log.error(), EndsWith("(os error 3)"));
}

} // namespace
} // namespace kestrune::logging
