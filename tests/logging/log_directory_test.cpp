#include "logging/log_directory.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace kestrune::logging {
namespace {

// Sets PROGRAMDATA for one test and puts the old value back afterwards.
class ProgramData : public ::testing::Test {
  protected:
    void SetUp() override { saved_ = environment_variable(L"PROGRAMDATA"); }
    void TearDown() override { set(saved_ ? saved_->c_str() : nullptr); }
    static void set(const wchar_t* value) {
        ASSERT_TRUE(SetEnvironmentVariableW(L"PROGRAMDATA", value) || value == nullptr);
    }

    std::optional<std::wstring> saved_;
};

TEST_F(ProgramData, UnsetGivesTheDefault) {
    set(nullptr);
    EXPECT_EQ(environment_variable(L"PROGRAMDATA"), std::nullopt);
    EXPECT_EQ(log_directory(), L"C:\\ProgramData\\KestruneConnect");
}

TEST_F(ProgramData, EmptyGivesARelativeDirectory) {
    set(L"");
    EXPECT_EQ(environment_variable(L"PROGRAMDATA"), std::wstring());
    EXPECT_EQ(log_directory(), L"KestruneConnect");
}

TEST_F(ProgramData, TrailingBackslashIsNotDoubled) {
    set(L"D:\\Data\\");
    EXPECT_EQ(log_directory(), L"D:\\Data\\KestruneConnect");
}

TEST_F(ProgramData, BareDriveGivesADriveRelativePath) {
    set(L"D:");
    EXPECT_EQ(log_directory(), L"D:KestruneConnect");
}

TEST_F(ProgramData, ReadOnEveryCallWhateverItsLength) {
    set(L"E:\\x");
    EXPECT_EQ(log_directory(), L"E:\\x\\KestruneConnect");
    const std::wstring long_value = L"F:\\" + std::wstring(300, L'p');
    set(long_value.c_str());
    EXPECT_EQ(log_directory(), long_value + L"\\KestruneConnect");
}

} // namespace
} // namespace kestrune::logging
