#include "logging/win_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "win_test_files.h"

namespace kestrune::logging {
namespace {

using namespace testing;
using ::testing::EndsWith;
using ::testing::StartsWith;

// Wine 8 answers SetFileInformationByHandle with FileDispositionInfoEx or FileRenameInfoEx
// with ERROR_INVALID_PARAMETER, so there the access-denied retries cannot succeed.
bool under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(WinFiles, SizeOfFilesDirectoriesAndMissingPaths) {
    TempDir dir;
    make_file_of_size(dir / L"big", 5000000000ull, "x"); // past 32 bits
    write_file(dir / L"small", "abc");
    const WinFiles files;
    EXPECT_EQ(files.size(dir / L"big"), 5000000000ull);
    EXPECT_EQ(files.size(dir / L"small"), 3u);
    EXPECT_TRUE(files.size(dir.path()).has_value()); // a directory exists too
    EXPECT_EQ(files.size(dir / L"missing"), std::nullopt);
    EXPECT_EQ(files.size(dir / L"missing\\deeper"), std::nullopt);
}

TEST(WinFiles, OpenCreatesOrKeepsAndAppendsAtTheEnd) {
    TempDir dir;
    const std::wstring path = dir / L"log";
    write_file(path, "old\n");
    const WinFiles files;
    Result<win::UniqueHandle> file = files.open(path);
    ASSERT_TRUE(file.ok()) << file.error();
    ASSERT_TRUE(files.write(*file, "a\n").ok());
    {
        // Another writer appends in between: the next write still lands at the end.
        win::UniqueHandle other(
            CreateFileW(path.c_str(), FILE_APPEND_DATA, 0x7, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(other.valid());
        ASSERT_TRUE(files.write(other, "EXT\n").ok());
    }
    ASSERT_TRUE(files.write(*file, "b\n").ok());
    EXPECT_EQ(read_file(path), "old\na\nEXT\nb\n");

    Result<win::UniqueHandle> created = files.open(dir / L"new");
    ASSERT_TRUE(created.ok());
    EXPECT_EQ(read_file(dir / L"new"), "");
}

TEST(WinFiles, OpenHandleIsAppendOnlyNotInheritableAndSharesEverything) {
    TempDir dir;
    const std::wstring path = dir / L"log";
    write_file(path, "old");
    Result<win::UniqueHandle> file = WinFiles{}.open(path);
    ASSERT_TRUE(file.ok());
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(file->get(), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    // No FILE_WRITE_DATA: a write aimed at offset 0 never overwrites (it lands at the end).
    OVERLAPPED at_start{};
    DWORD written = 0;
    WriteFile(file->get(), "x", 1, &written, &at_start);
    EXPECT_THAT(read_file(path).value_or(""), StartsWith("old"));
    // Others may read, write and rename it while it is open.
    win::UniqueHandle reader(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0x7, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(reader.valid());
    reader.reset();
    EXPECT_TRUE(MoveFileExW(path.c_str(), (dir / L"moved").c_str(), 0));
}

TEST(WinFiles, OpenFailsWithTheOsErrorText) {
    TempDir dir;
    Result<win::UniqueHandle> file = WinFiles{}.open(dir / L"missing\\log");
    ASSERT_FALSE(file.ok());
    EXPECT_THAT(file.error(), EndsWith("(os error 3)")); // ERROR_PATH_NOT_FOUND
}

// A held file can be moved while the log's own handle (sharing everything) is open on it.
Status hold_and_move(const std::wstring& from, const std::wstring& to) {
    const WinFiles files;
    Result<win::UniqueHandle> held = files.hold(from);
    if (!held) {
        return fail(std::move(held).error());
    }
    return files.move(*held, to);
}

TEST(WinFiles, RemoveAndMoveReplacingTheTarget) {
    TempDir dir;
    const WinFiles files;
    write_file(dir / L"a", "A");
    write_file(dir / L"b", "B");
    {
        Result<win::UniqueHandle> log = files.open(dir / L"a");
        ASSERT_TRUE(log.ok());
        ASSERT_TRUE(hold_and_move(dir / L"a", dir / L"b").ok());
        ASSERT_TRUE(files.write(*log, "+").ok()); // the handle follows the file
    }
    EXPECT_FALSE(exists(dir / L"a"));
    EXPECT_EQ(read_file(dir / L"b"), "A+");
    ASSERT_TRUE(files.remove(dir / L"b").ok());
    EXPECT_FALSE(exists(dir / L"b"));

    Status missing = files.remove(dir / L"b");
    ASSERT_FALSE(missing.ok());
    EXPECT_THAT(missing.error(), EndsWith("(os error 2)"));
    Status no_source = hold_and_move(dir / L"a", dir / L"c");
    ASSERT_FALSE(no_source.ok());
    EXPECT_THAT(no_source.error(), EndsWith("(os error 2)"));
}

TEST(WinFiles, AReaderThatDoesNotShareDeletionAndAHeldFileKeepEachOtherOut) {
    TempDir dir;
    const std::wstring path = dir / L"log";
    write_file(path, "x");
    const WinFiles files;
    {
        win::UniqueHandle reader(CreateFileW(path.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader.valid());
        Result<win::UniqueHandle> held = files.hold(path);
        ASSERT_FALSE(held.ok());
        EXPECT_THAT(held.error(), EndsWith("(os error 32)")); // ERROR_SHARING_VIOLATION
    }
    Result<win::UniqueHandle> held = files.hold(path);
    ASSERT_TRUE(held.ok()) << held.error();
    // While it is held, such a reader is kept out, so the move cannot be blocked any more.
    win::UniqueHandle late_reader(CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(late_reader.valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // One that shares deletion, like the log's own handle, is let in.
    Result<win::UniqueHandle> log = files.open(path);
    EXPECT_TRUE(log.ok());
    ASSERT_TRUE(files.move(*held, dir / L"log.1").ok());
    EXPECT_EQ(read_file(dir / L"log.1"), "x");
}

TEST(WinFiles, ReadOnlyFileIsRemovedThroughTheRetry) {
    TempDir dir;
    const std::wstring path = dir / L"read-only";
    write_file(path, "x");
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_FALSE(DeleteFileW(path.c_str())); // both Windows and Wine refuse the plain delete
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    Status removed = WinFiles{}.remove(path);
    if (under_wine()) {
        // The retry is refused (ERROR_INVALID_PARAMETER); the first error is the result.
        ASSERT_FALSE(removed.ok());
        EXPECT_THAT(removed.error(), EndsWith("(os error 5)"));
        EXPECT_TRUE(exists(path));
    } else {
        EXPECT_TRUE(removed.ok()) << removed.error();
        EXPECT_FALSE(exists(path));
    }
}

TEST(WinFiles, FailedMoveRetryGivesTheFirstError) {
    TempDir dir;
    write_file(dir / L"file", "x");
    // A non-empty directory can be replaced neither by the rename nor by the retry.
    CreateDirectoryW((dir / L"dir").c_str(), nullptr);
    write_file(dir / L"dir\\inside", "y");
    ASSERT_FALSE(
        MoveFileExW((dir / L"file").c_str(), (dir / L"dir").c_str(), MOVEFILE_REPLACE_EXISTING));
    const DWORD first = GetLastError();

    Status renamed = hold_and_move(dir / L"file", dir / L"dir");
    ASSERT_FALSE(renamed.ok());
    EXPECT_THAT(renamed.error(), EndsWith("(os error " + std::to_string(first) + ")"));
    EXPECT_EQ(read_file(dir / L"file"), "x");
}

} // namespace
} // namespace kestrune::logging
