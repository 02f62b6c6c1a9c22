#include "logging/rotation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_files.h"

namespace kestrune::logging {
namespace {

using ::testing::ElementsAre;
using testing::FakeDisk;
using testing::FakeFiles;

constexpr std::uint64_t MAX = 10485760; // the service's limit
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

using Log = BasicRotatingLog<FakeFiles>;

class Rotation : public ::testing::Test {
  protected:
    Log open(std::uint64_t max_bytes = MAX, std::uint64_t max_backups = 3) {
        Result<Log> log = Log::open("log", max_bytes, max_backups, FakeFiles{&disk});
        EXPECT_TRUE(log.ok()) << log.error();
        disk.journal.clear();
        return std::move(log).value();
    }

    FakeDisk disk;
};

TEST(SaturatingAdd, StopsAtTheLargestValue) {
    EXPECT_EQ(saturating_add(1, 2), 3u);
    EXPECT_EQ(saturating_add(U64_MAX - 1, 1), U64_MAX);
    EXPECT_EQ(saturating_add(U64_MAX - 1, 2), U64_MAX);
    EXPECT_EQ(saturating_add(U64_MAX, U64_MAX), U64_MAX);
}

TEST(BackupPath, DotAndDecimalNumber) {
    EXPECT_EQ(backup_path(std::string("x.log"), 1), "x.log.1");
    EXPECT_EQ(backup_path(std::string("x.log"), 12), "x.log.12");
    EXPECT_EQ(backup_path(std::u16string(u"x.log"), 3), u"x.log.3");
}

TEST_F(Rotation, OpenCreatesAMissingFile) {
    Log log = open();
    EXPECT_TRUE(log.is_open());
    EXPECT_EQ(log.current_size(), 0u);
    EXPECT_TRUE(disk.exists("log"));
}

TEST_F(Rotation, OpenAppendsToAFileBelowTheLimit) {
    disk.put("log", "x", MAX - 2); // 10,485,759 bytes
    Log log = open();
    EXPECT_EQ(log.current_size(), MAX - 1);
    EXPECT_FALSE(disk.exists("log.1"));
    ASSERT_TRUE(log.write_line("").ok()); // to exactly the limit: no rotation
    EXPECT_EQ(disk.data("log"), "x\n");
    EXPECT_EQ(log.current_size(), MAX);
    EXPECT_FALSE(disk.exists("log.1"));
    EXPECT_TRUE(disk.journal.empty());
}

TEST_F(Rotation, OpenRotatesAFileAtTheLimitBeforeTheFirstLine) {
    disk.put("log", "old", MAX - 3); // exactly 10,485,760 bytes
    Result<Log> log = Log::open("log", MAX, 3, FakeFiles{&disk});
    ASSERT_TRUE(log.ok());
    EXPECT_THAT(disk.journal, ElementsAre("remove log.3", "rename log -> log.1", "open log"));
    EXPECT_EQ(disk.data("log.1"), "old");
    EXPECT_EQ(log->current_size(), 0u);
    ASSERT_TRUE(log->write_line("first").ok());
    EXPECT_EQ(disk.data("log"), "first\n");
}

TEST_F(Rotation, LineToExactlyTheLimitIsWrittenOneBytePastRotatesFirst) {
    disk.put("log", "", MAX - 3);
    Log log = open();
    ASSERT_TRUE(log.write_line("ab").ok()); // 2 bytes + line feed: exactly the limit
    EXPECT_EQ(log.current_size(), MAX);
    EXPECT_FALSE(disk.exists("log.1"));
    ASSERT_TRUE(log.write_line("c").ok()); // one byte would do it: rotates first
    EXPECT_EQ(disk.data("log.1"), "ab\n");
    EXPECT_EQ(disk.data("log"), "c\n");
    EXPECT_EQ(log.current_size(), 2u);
}

TEST_F(Rotation, TheAddedLineFeedCounts) {
    disk.put("log", "", MAX - 2);
    Log log = open();
    ASSERT_TRUE(log.write_line("a\n").ok()); // ends in a line feed: 2 bytes, fits exactly
    EXPECT_FALSE(disk.exists("log.1"));

    disk.put("other", "", MAX - 2);
    Result<Log> other = Log::open("other", MAX, 3, FakeFiles{&disk});
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other->write_line("ab").ok()); // 2 bytes plus the added line feed: 3
    EXPECT_TRUE(disk.exists("other.1"));
    EXPECT_EQ(disk.data("other"), "ab\n");
}

TEST_F(Rotation, OverlongLineGoesWholeIntoAnEmptyFileAndTheNextLineRotates) {
    Log log = open();
    const std::string huge(MAX + 1, 'h');
    ASSERT_TRUE(log.write_line(huge).ok());
    EXPECT_FALSE(disk.exists("log.1"));
    EXPECT_EQ(disk.size("log"), MAX + 2);
    EXPECT_EQ(log.current_size(), MAX + 2);
    ASSERT_TRUE(log.write_line("next").ok());
    EXPECT_EQ(disk.size("log.1"), MAX + 2);
    EXPECT_EQ(disk.data("log"), "next\n");
}

TEST_F(Rotation, LineFeedOnlyWhenTheMessageDoesNotEndInOne) {
    Log log = open();
    for (const char* line : {"", "a\n", "b\r\n", "c\r", "d\ne", "f\n\n"}) {
        ASSERT_TRUE(log.write_line(line).ok());
    }
    EXPECT_EQ(disk.data("log"), "\na\nb\r\nc\r\nd\ne\nf\n\n");
    EXPECT_EQ(log.current_size(), disk.size("log"));
}

TEST_F(Rotation, FullChainShiftsUpAndDropsTheOldest) {
    disk.put("log", "now");
    disk.put("log.1", "one");
    disk.put("log.2", "two");
    disk.put("log.3", "three");
    Log log = open(10);
    ASSERT_TRUE(log.rotate().ok());
    EXPECT_THAT(disk.journal,
                ElementsAre("remove log.3", "rename log.2 -> log.3", "rename log.1 -> log.2",
                            "rename log -> log.1", "open log"));
    EXPECT_EQ(disk.data("log.3"), "two");
    EXPECT_EQ(disk.data("log.2"), "one");
    EXPECT_EQ(disk.data("log.1"), "now");
    EXPECT_EQ(disk.data("log"), "");
    EXPECT_EQ(disk.open_handles, 1);
}

TEST_F(Rotation, GapsInTheChainAreSkippedNotClosed) {
    disk.put("log", "now");
    disk.put("log.2", "two");
    Log log = open(10);
    ASSERT_TRUE(log.rotate().ok());
    EXPECT_THAT(disk.journal, ElementsAre("remove log.3", "rename log.2 -> log.3",
                                          "rename log -> log.1", "open log"));
    EXPECT_EQ(disk.data("log.3"), "two");
    EXPECT_FALSE(disk.exists("log.2"));
    EXPECT_EQ(disk.data("log.1"), "now");
}

TEST_F(Rotation, LogDeletedBySomeoneElseIsNotRenamed) {
    Log log = open(10);
    ASSERT_TRUE(log.write_line("12345").ok());
    disk.files.erase("log");
    ASSERT_TRUE(log.write_line("678901").ok());
    EXPECT_THAT(disk.journal, ElementsAre("remove log.3", "open log"));
    EXPECT_FALSE(disk.exists("log.1"));
    EXPECT_EQ(disk.data("log"), "678901\n");
}

TEST_F(Rotation, FailedRemoveOfTheOldestIsIgnored) {
    disk.put("log.2", "two");
    disk.put("log.3", "three");
    disk.failing_removes.insert("log.3");
    Log log = open(10);
    ASSERT_TRUE(log.rotate().ok());
    EXPECT_EQ(disk.data("log.3"), "two"); // the rename replaced it
}

TEST_F(Rotation, NoBackupsDeletesTheLog) {
    disk.put("log", "old");
    Log log = open(10, 0);
    ASSERT_TRUE(log.rotate().ok());
    EXPECT_THAT(disk.journal, ElementsAre("remove log", "open log"));
    EXPECT_EQ(disk.data("log"), "");
    EXPECT_FALSE(disk.exists("log.1"));
}

TEST_F(Rotation, FailedRenameLeavesItClosedAndEveryLaterLineRetries) {
    disk.put("log.1", "one");
    Log log = open(10);
    ASSERT_TRUE(log.write_line("123456").ok());
    disk.failing_renames.insert("log.1");

    Status first = log.write_line("abcd"); // 7 + 5 > 10: rotates, and the rename fails
    ASSERT_FALSE(first.ok());
    EXPECT_EQ(first.error(), "rename failed: log.1");
    EXPECT_THAT(disk.journal, ElementsAre("remove log.3", "rename log.1 -> log.2"));
    EXPECT_FALSE(log.is_open());
    EXPECT_EQ(disk.open_handles, 0);
    EXPECT_EQ(log.current_size(), 7u); // kept: the rotation is still owed
    EXPECT_EQ(disk.data("log"), "123456\n");

    // Even a line that would fit tries the rotation first, since the file is closed.
    disk.journal.clear();
    EXPECT_FALSE(log.write_line("x").ok());
    EXPECT_THAT(disk.journal, ElementsAre("remove log.3", "rename log.1 -> log.2"));

    disk.failing_renames.clear();
    ASSERT_TRUE(log.write_line("y").ok());
    EXPECT_TRUE(log.is_open());
    EXPECT_EQ(disk.data("log.2"), "one");
    EXPECT_EQ(disk.data("log.1"), "123456\n");
    EXPECT_EQ(disk.data("log"), "y\n");
    EXPECT_EQ(log.current_size(), 2u);
}

TEST_F(Rotation, FailedReopenIsRetriedByTheNextLine) {
    Log log = open(10);
    ASSERT_TRUE(log.write_line("123456").ok());
    disk.failing_opens = 2;

    Status rotated = log.write_line("abcd");
    ASSERT_FALSE(rotated.ok());
    EXPECT_EQ(rotated.error(), "open failed: log");
    EXPECT_FALSE(log.is_open());
    EXPECT_EQ(log.current_size(), 0u);
    EXPECT_EQ(disk.data("log.1"), "123456\n");
    EXPECT_FALSE(disk.exists("log"));

    disk.journal.clear();
    Status retried = log.write_line("lost"); // the second failing open: the line is lost
    ASSERT_FALSE(retried.ok());
    EXPECT_EQ(retried.error(), "open failed: log");
    EXPECT_THAT(disk.journal, ElementsAre("open log")); // no rotation, only the reopen

    disk.journal.clear();
    ASSERT_TRUE(log.write_line("back").ok());
    EXPECT_THAT(disk.journal, ElementsAre("open log"));
    EXPECT_TRUE(log.is_open());
    EXPECT_EQ(disk.data("log"), "back\n");
    EXPECT_EQ(log.current_size(), 5u);
}

TEST_F(Rotation, ReopenTakesTheSizeFromTheFileAndRotatesWhenItIsFull) {
    Log log = open(10);
    ASSERT_TRUE(log.write_line("123456").ok());
    disk.failing_opens = 1;
    ASSERT_FALSE(log.write_line("abcd").ok());
    disk.put("log", "123456789"); // someone else wrote a file there meanwhile
    disk.journal.clear();
    ASSERT_TRUE(log.write_line("z").ok());
    EXPECT_THAT(disk.journal, ElementsAre("open log", "remove log.3", "rename log.1 -> log.2",
                                          "rename log -> log.1", "open log"));
    EXPECT_EQ(disk.data("log.1"), "123456789");
    EXPECT_EQ(disk.data("log"), "z\n");
}

TEST_F(Rotation, OpenFailureIsReturned) {
    disk.failing_opens = 1;
    Result<Log> log = Log::open("log", MAX, 3, FakeFiles{&disk});
    ASSERT_FALSE(log.ok());
    EXPECT_EQ(log.error(), "open failed: log");
}

TEST_F(Rotation, FailedRotationAtOpenIsReturned) {
    disk.put("log", "", MAX);
    disk.failing_renames.insert("log");
    Result<Log> log = Log::open("log", MAX, 3, FakeFiles{&disk});
    ASSERT_FALSE(log.ok());
    EXPECT_EQ(log.error(), "rename failed: log");
    EXPECT_EQ(disk.open_handles, 0);
}

TEST_F(Rotation, WriteErrorKeepsItOpenAndTheSizeUnchanged) {
    Log log = open();
    disk.failing_writes = 1;
    EXPECT_FALSE(log.write_line("lost").ok());
    disk.failing_writes = 0;
    EXPECT_EQ(log.current_size(), 0u);
    ASSERT_TRUE(log.write_line("kept").ok());
    EXPECT_EQ(disk.data("log"), "kept\n");
    EXPECT_EQ(log.current_size(), 5u);
}

TEST_F(Rotation, FailedLineFeedLeavesTheSizeUnchanged) {
    // A fake whose second write fails: the message lands, the line feed does not.
    struct SecondWriteFails : FakeFiles {
        int* writes;
        Status write(File& file, std::string_view bytes) const {
            if (++*writes == 2) {
                return fail("line feed failed");
            }
            return FakeFiles::write(file, bytes);
        }
    };
    int writes = 0;
    Result<BasicRotatingLog<SecondWriteFails>> log =
        BasicRotatingLog<SecondWriteFails>::open("log", MAX, 3, SecondWriteFails{{&disk}, &writes});
    ASSERT_TRUE(log.ok());
    Status written = log->write_line("half");
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error(), "line feed failed");
    EXPECT_EQ(disk.data("log"), "half");
    EXPECT_EQ(log->current_size(), 0u);
}

TEST_F(Rotation, SizeArithmeticSaturates) {
    disk.put("log", "", U64_MAX - 5);
    Log log = open(U64_MAX);
    EXPECT_EQ(log.current_size(), U64_MAX - 5);
    ASSERT_TRUE(log.write_line("0123456789").ok()); // would wrap; stays at the largest value
    EXPECT_EQ(log.current_size(), U64_MAX);
    ASSERT_TRUE(log.write_line("more").ok()); // never greater than the limit: no rotation
    EXPECT_EQ(log.current_size(), U64_MAX);
    EXPECT_FALSE(disk.exists("log.1"));
}

TEST_F(Rotation, MovingLeavesTheSourceClosed) {
    Log log = open();
    Log moved = std::move(log);
    EXPECT_TRUE(moved.is_open());
    EXPECT_FALSE(log.is_open()); // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(disk.open_handles, 1);
    ASSERT_TRUE(moved.write_line("x").ok());
    EXPECT_EQ(disk.data("log"), "x\n");
}

} // namespace
} // namespace kestrune::logging
