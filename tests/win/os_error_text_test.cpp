#include "win/os_error_text.h"

#include <gtest/gtest.h>

namespace kestrune::win {
namespace {

TEST(OsErrorText, TrimsTrailingWhiteSpaceAndAppendsTheCode) {
    EXPECT_EQ(
        compose_os_error_text(2, MessageFound{u"The system cannot find the file specified.\r\n"}),
        "The system cannot find the file specified. (os error 2)");
    EXPECT_EQ(compose_os_error_text(5, MessageFound{u"  Access is denied. \t\r\n  "}),
              "  Access is denied. (os error 5)");
}

TEST(OsErrorText, FallbackWhenFormatMessageFails) {
    EXPECT_EQ(compose_os_error_text(12345, MessageFailed{317}),
              "OS Error 12345 (FormatMessageW() returned error 317) (os error 12345)");
}

TEST(OsErrorText, FallbackWhenTheMessageIsNotUtf16) {
    EXPECT_EQ(compose_os_error_text(7, MessageFound{u"bad \xD800 text"}),
              "OS Error 7 (FormatMessageW() returned invalid UTF-16) (os error 7)");
}

TEST(OsErrorText, CodesAboveBit31AreUnsignedDecimal) {
    EXPECT_EQ(compose_os_error_text(0xC0000005u, MessageFailed{317}),
              "OS Error 3221225477 (FormatMessageW() returned error 317) (os error 3221225477)");
    EXPECT_EQ(code_text(0xFFFFFFFFu), "4294967295");
}

} // namespace
} // namespace kestrune::win
