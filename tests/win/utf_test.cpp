#include "win/utf.h"

#include <gtest/gtest.h>

namespace kestrune::win {
namespace {

struct RoundTrip {
    std::string utf8;
    std::u16string utf16;
};

TEST(Utf, ConvertsBothWays) {
    const RoundTrip cases[] = {
        {"", u""},
        {"KestruneConnectSingBox", u"KestruneConnectSingBox"},
        {"C:\\Program Files\\\xC3\xA9t\xC3\xA9", u"C:\\Program Files\\\u00E9t\u00E9"},
        {"\xE2\x82\xAC", u"\u20AC"},
        // Above U+FFFF: a surrogate pair.
        {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_to_utf16(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(utf16_to_utf8(c.utf16), c.utf8) << c.utf8;
    }
}

TEST(Utf, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(utf8_to_utf16("a\xFF"
                            "b"),
              u"a\uFFFDb");
    EXPECT_EQ(utf8_to_utf16("\xC3"), u"\uFFFD");             // truncated sequence
    EXPECT_EQ(utf8_to_utf16("\xC0\xAF"), u"\uFFFD\uFFFD");   // overlong lead is invalid
    EXPECT_EQ(utf8_to_utf16("\xED\xA0\x80"), u"\uFFFD");     // encoded surrogate
    EXPECT_EQ(utf8_to_utf16("\xF4\x90\x80\x80"), u"\uFFFD"); // above U+10FFFF
}

TEST(Utf, UnpairedSurrogatesAreNotUtf16) {
    EXPECT_FALSE(utf16_to_utf8(u"a\xD800").has_value());
    EXPECT_FALSE(utf16_to_utf8(u"\xDC00"
                               "a")
                     .has_value());
    EXPECT_FALSE(utf16_to_utf8(u"\xD800\xD800").has_value());
}

} // namespace
} // namespace kestrune::win
