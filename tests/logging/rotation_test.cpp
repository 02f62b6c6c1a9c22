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
    Log open(std::uint64_t max_bytes = MAX, std::uint64_t max_backups = 3,
             std::uint64_t retry_bytes = ROTATION_RETRY_BYTES) {
        Result<Log> log = Log::open("log", max_bytes, max_backups, FakeFiles{&disk}, retry_bytes);
        EXPECT_TRUE(log.ok()) << log.error();
        disk.journal.clear();
        return std::move(log).value();
    }
    // A whole rotation of the log with backups 1 ("one"), 2 ("two") and 3.
    void expect_full_chain_rotated(const std::string& log_was) {
        EXPECT_THAT(disk.journal,
                    ElementsAre("remove log.3", "rename log.2 -> log.3", "rename log.1 -> log.2",
                                "rename log -> log.1", "open log"));
        EXPECT_EQ(disk.data("log.3"), "two");
        EXPECT_EQ(disk.data("log.2"), "one");
        EXPECT_EQ(disk.data("log.1"), log_was);
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
    expect_full_chain_rotated("now");
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

TEST_F(Rotation, FailedMoveKeepsTheLogOpenAndPutsTheRotationOff) {
    disk.put("log.1", "one");
    Log log = open(10, 3, 8);
    ASSERT_TRUE(log.write_line("123456").ok());
    disk.failing_renames.insert("log.1");

    ASSERT_TRUE(log.write_line("abcd").ok()); // 7 + 5 > 10: rotates, and a move fails
    EXPECT_THAT(disk.journal, ElementsAre("remove log.3", "rename log.1 -> log.2", "open log"));
    EXPECT_TRUE(log.is_open());
    EXPECT_EQ(disk.open_handles, 1);
    EXPECT_EQ(disk.data("log"), "123456\nabcd\n");
    EXPECT_EQ(disk.data("log.1"), "one");
    EXPECT_EQ(log.current_size(), 12u);

    // Tried again only once the 8 bytes past the failed attempt's size (7) are used up.
    disk.journal.clear();
    disk.failing_renames.clear();
    ASSERT_TRUE(log.write_line("x").ok()); // 14 <= 15
    EXPECT_TRUE(disk.journal.empty());
    ASSERT_TRUE(log.write_line("y").ok()); // 16 > 15
    EXPECT_THAT(disk.journal, ElementsAre("remove log.3", "rename log.1 -> log.2",
                                          "rename log -> log.1", "open log"));
    EXPECT_EQ(disk.data("log.2"), "one");
    EXPECT_EQ(disk.data("log.1"), "123456\nabcd\nx\n");
    EXPECT_EQ(disk.data("log"), "y\n");
    EXPECT_EQ(log.current_size(), 2u);
}

TEST_F(Rotation, FileHeldByAReaderThatDoesNotShareDeletionCostsNoBackupAndNoLine) {
    for (const std::string held : {"log", "log.2", "log.3"}) {
        SCOPED_TRACE(held);
        disk = FakeDisk{};
        disk.put("log.1", "one");
        disk.put("log.2", "two");
        disk.put("log.3", "three");
        Log log = open(10, 3, 8);
        ASSERT_TRUE(log.write_line("123456").ok());
        disk.unmovable.insert(held);

        const int holds_before = disk.holds;
        ASSERT_TRUE(log.write_line("abcd").ok());
        ASSERT_TRUE(log.write_line("x").ok()); // within the 8 bytes: not tried again
        ASSERT_TRUE(log.write_line("y").ok()); // tried again, still held
        // Each attempt holds the live file and the backups to be moved, up to the one held.
        EXPECT_EQ(disk.holds - holds_before, held == "log" ? 2 : 6);
        EXPECT_EQ(disk.data("log"), "123456\nabcd\nx\ny\n");
        EXPECT_EQ(disk.data("log.1"), "one");
        EXPECT_EQ(disk.data("log.2"), "two");
        EXPECT_EQ(disk.data("log.3"), "three");
        EXPECT_TRUE(log.is_open());

        // Once the reader has gone, the next attempt (past 14 + 8 bytes) rotates as usual.
        disk.unmovable.clear();
        disk.journal.clear();
        ASSERT_TRUE(log.write_line("z").ok());
        EXPECT_TRUE(disk.journal.empty());
        ASSERT_TRUE(log.write_line("0123").ok());
        expect_full_chain_rotated("123456\nabcd\nx\ny\nz\n");
        EXPECT_EQ(disk.data("log"), "0123\n");
    }
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

TEST_F(Rotation, RotationAtOpenThatCannotBeDoneOpensTheFullFile) {
    disk.put("log", "old", MAX - 3);
    disk.put("log.1", "one");
    disk.unmovable.insert("log");
    Result<Log> log = Log::open("log", MAX, 3, FakeFiles{&disk});
    ASSERT_TRUE(log.ok()) << log.error();
    EXPECT_THAT(disk.journal, ElementsAre("open log"));
    EXPECT_EQ(disk.open_handles, 1);
    EXPECT_EQ(log->current_size(), MAX);
    ASSERT_TRUE(log->write_line("kept").ok());
    EXPECT_EQ(disk.data("log"), "oldkept\n");
    EXPECT_EQ(disk.data("log.1"), "one");
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

TEST_F(Rotation, AddedLineFeedGoesInTheSameWrite) {
    // One write per line, so that another writer of the file never lands between a line and
    // its line feed.
    struct RecordedWrites : FakeFiles {
        std::vector<std::string>* writes;
        Status write(File& file, std::string_view bytes) const {
            writes->emplace_back(bytes);
            return FakeFiles::write(file, bytes);
        }
    };
    std::vector<std::string> writes;
    Result<BasicRotatingLog<RecordedWrites>> log =
        BasicRotatingLog<RecordedWrites>::open("log", MAX, 3, RecordedWrites{{&disk}, &writes});
    ASSERT_TRUE(log.ok());
    const std::string long_line(100000, 'l'); // past the kept buffer
    for (const std::string& line : {std::string("half"), std::string("whole\n"), long_line,
                                    std::string(""), std::string("again")}) {
        ASSERT_TRUE(log->write_line(line).ok());
    }
    EXPECT_THAT(writes, ElementsAre("half\n", "whole\n", long_line + "\n", "\n", "again\n"));
    EXPECT_EQ(log->current_size(), disk.size("log"));
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
