#include "child/parent_directory.h"

#include <gtest/gtest.h>

namespace kestrune::child {
namespace {

TEST(ParentDirectory, KeepsRootsAndDropsTheLastComponent) {
    const struct {
        const wchar_t* path;
        const wchar_t* parent;
    } cases[] = {
        {L"C:\\svc\\kestrune.exe", L"C:\\svc"},
        {L"C:\\Program Files\\Kestrune\\kestrune.exe", L"C:\\Program Files\\Kestrune"},
        {L"C:\\kestrune.exe", L"C:\\"},
        {L"C:kestrune.exe", L"C:"},
        {L"kestrune.exe", L""},
        {L"\\kestrune.exe", L"\\"},
        {L"C:\\svc\\\\kestrune.exe", L"C:\\svc"},
        {L"C:\\svc\\sub\\", L"C:\\svc"},
        {L"\\\\server\\share\\kestrune.exe", L"\\\\server\\share\\"},
        {L"\\\\?\\C:\\svc\\kestrune.exe", L"\\\\?\\C:\\svc"},
    };
    for (const auto& c : cases) {
        const auto parent = parent_directory(c.path);
        ASSERT_TRUE(parent.has_value()) << testing::PrintToString(std::wstring(c.path));
        EXPECT_EQ(*parent, c.parent) << testing::PrintToString(std::wstring(c.path));
    }
}

TEST(ParentDirectory, NoneForARootOrAnEmptyPath) {
    for (const wchar_t* path :
         {L"", L"C:\\", L"C:", L"\\", L"C:\\\\", L"\\\\server\\share\\", L"\\\\?\\C:\\"}) {
        EXPECT_FALSE(parent_directory(path).has_value())
            << testing::PrintToString(std::wstring(path));
    }
}

} // namespace
} // namespace kestrune::child
