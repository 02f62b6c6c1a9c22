#include "logging/directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "win_test_files.h"

namespace kestrune::logging {
namespace {

using namespace testing;

TEST(CreateDirectoryChain, CreatesEveryMissingAncestor) {
    TempDir dir;
    const std::wstring deep = dir / L"a\\b\\c";
    ASSERT_TRUE(create_directory_chain(deep).ok());
    EXPECT_TRUE(is_directory(dir / L"a"));
    EXPECT_TRUE(is_directory(dir / L"a\\b"));
    EXPECT_TRUE(is_directory(deep));
    // Existing directories are no error, with or without a trailing separator.
    EXPECT_TRUE(create_directory_chain(deep).ok());
    EXPECT_TRUE(create_directory_chain(deep + L"\\").ok());
    EXPECT_TRUE(create_directory_chain(dir / L"a/b/d").ok());
    EXPECT_TRUE(is_directory(dir / L"a\\b\\d"));
}

TEST(CreateDirectoryChain, FileInTheWayFailsUntilItIsGone) {
    TempDir dir;
    write_file(dir / L"blocker", "x");
    Status blocked = create_directory_chain(dir / L"blocker\\KestruneConnect");
    ASSERT_FALSE(blocked.ok());
    EXPECT_THAT(blocked.error(), ::testing::EndsWith("(os error 183)")); // ERROR_ALREADY_EXISTS
    EXPECT_FALSE(is_directory(dir / L"blocker"));

    ASSERT_TRUE(DeleteFileW((dir / L"blocker").c_str()));
    ASSERT_TRUE(create_directory_chain(dir / L"blocker\\KestruneConnect").ok());
    EXPECT_TRUE(is_directory(dir / L"blocker\\KestruneConnect"));
}

TEST(CreateDirectoryChain, FileAtTheLastComponentIsAnError) {
    TempDir dir;
    write_file(dir / L"file", "x");
    EXPECT_FALSE(create_directory_chain(dir / L"file").ok());
}

} // namespace
} // namespace kestrune::logging
