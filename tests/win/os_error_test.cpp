#include "win/os_error.h"

#include <gtest/gtest.h>

#include "win/unique_handle.h"

namespace kestrune::win {
namespace {

TEST(OsError, KnownCodeHasTheSystemMessage) {
    // Windows says "The system cannot find the file specified.", Wine "File not found.".
    const std::string text = os_error_text(2);
    EXPECT_NE(text.find("ile"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with(". (os error 2)")) << text;
    EXPECT_FALSE(text.starts_with("OS Error")) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(OsError, NtStatusCodeIsLookedUpInNtdll) {
    // HRESULT_FROM_NT(STATUS_OBJECT_NAME_NOT_FOUND): the message comes from NTDLL's table for
    // 0xC0000034. Wine's NTDLL carries no message table, so there the lookup fails with
    // ERROR_MR_MID_NOT_FOUND (317) and the fallback names the original code.
    const std::string text = os_error_text(0xD0000034u);
    EXPECT_TRUE(text.ends_with(" (os error 3489660980)")) << text;
    if (text.starts_with("OS Error")) {
        EXPECT_EQ(text, "OS Error 3489660980 (FormatMessageW() returned error 317) (os error "
                        "3489660980)");
    } else {
        EXPECT_NE(text.find("bject"), std::string::npos) << text;
    }
}

TEST(OsError, UnknownCodeUsesTheFallback) {
    EXPECT_EQ(os_error_text(0x2000ABCDu),
              "OS Error 536914893 (FormatMessageW() returned error 317) (os error 536914893)");
}

TEST(UniqueHandle, ClosesOnceAndKeepsLastError) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    {
        UniqueHandle owner(raw);
        UniqueHandle moved(std::move(owner));
        EXPECT_FALSE(owner.valid());
        EXPECT_EQ(moved.get(), raw);
        SetLastError(1234);
    }
    EXPECT_EQ(GetLastError(), 1234u);
    // The handle is gone: a second close must fail.
    EXPECT_FALSE(CloseHandle(raw));
}

TEST(UniqueHandle, InvalidHandleValueIsNotClosed) {
    UniqueHandle invalid(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(invalid.valid());
    UniqueHandle assigned;
    assigned = std::move(invalid);
    EXPECT_FALSE(assigned.valid());
}

} // namespace
} // namespace kestrune::win
