#include "logging/log_path.h"

#include <gtest/gtest.h>

namespace kestrune::logging {
namespace {

TEST(JoinPath, OneBackslashUnlessTheBaseEndsTheWay) {
    struct Case {
        std::u16string base, expected;
    };
    const Case cases[] = {
        {u"C:\\ProgramData", u"C:\\ProgramData\\x"},
        {u"D:\\Data\\", u"D:\\Data\\x"},
        {u"D:/Data/", u"D:/Data/x"},
        {u"", u"x"},
        {u"D:", u"D:x"},
        {u"d:", u"d:x"},
        {u"1:", u"1:\\x"}, // not a drive letter
        {u"DD:", u"DD:\\x"},
        {u"\\\\server\\share", u"\\\\server\\share\\x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(join_path(c.base, u"x"), c.expected) << std::string(c.base.begin(), c.base.end());
    }
}

TEST(JoinPath, WorksForEveryCharacterType) {
    EXPECT_EQ(join_path(std::wstring(L"C:\\a"), L"b.log"), L"C:\\a\\b.log");
    EXPECT_EQ(join_path(std::string("a/"), "b"), "a/b");
}

TEST(LogDirectoryFrom, ProgramDataOrItsDefault) {
    struct Case {
        std::optional<std::u16string> programdata;
        std::u16string expected;
    };
    const Case cases[] = {
        {std::nullopt, u"C:\\ProgramData\\KestruneConnect"},
        {u"", u"KestruneConnect"}, // set but empty: relative to the current directory
        {u"D:\\Data", u"D:\\Data\\KestruneConnect"},
        {u"D:\\Data\\", u"D:\\Data\\KestruneConnect"},
        {u"D:/Data/", u"D:/Data/KestruneConnect"},
        {u"D:", u"D:KestruneConnect"},
        {u"E:\\", u"E:\\KestruneConnect"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(log_directory_from(c.programdata), c.expected);
    }
}

TEST(DirectoryChain, EveryDirectoryOutermostFirstWithoutTheRoot) {
    struct Case {
        std::string path;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"C:\\a\\b", {"C:\\a", "C:\\a\\b"}},
        {"C:\\a\\b\\", {"C:\\a", "C:\\a\\b"}},
        {"C:\\a\\\\b", {"C:\\a", "C:\\a\\\\b"}},
        {"C:/a/b", {"C:/a", "C:/a/b"}},
        {"C:\\", {}},
        {"C:", {}},
        {"", {}},
        {"D:KestruneConnect", {"D:KestruneConnect"}},
        {"KestruneConnect", {"KestruneConnect"}},
        {"rel\\dir", {"rel", "rel\\dir"}},
        {"\\top\\dir", {"\\top", "\\top\\dir"}},
        {"\\\\server\\share\\a\\b", {"\\\\server\\share\\a", "\\\\server\\share\\a\\b"}},
        {"\\\\server\\share", {}},
        {"\\\\?\\C:\\a", {"\\\\?\\C:\\a"}},
        {"\\\\?\\UNC\\server\\share\\a", {"\\\\?\\UNC\\server\\share\\a"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(directory_chain<char>(c.path), c.expected) << c.path;
    }
}

TEST(DirectoryChain, WideStrings) {
    const std::vector<std::wstring> expected{L"C:\\x", L"C:\\x\\y"};
    EXPECT_EQ(directory_chain<wchar_t>(L"C:\\x\\y"), expected);
}

} // namespace
} // namespace kestrune::logging
