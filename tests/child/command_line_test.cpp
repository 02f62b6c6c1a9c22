#include "child/command_line.h"

#include <gtest/gtest.h>

namespace kestrune::child {
namespace {

struct Case {
    std::vector<std::string> args;
    std::string expected;
};

TEST(CommandLine, QuotesOnlyWhereCommandLineToArgvNeedsIt) {
    const Case cases[] = {
        {{"run", "-c", "C:\\ProgramData\\KestruneConnect\\config.json"},
         "\"C:\\svc\\sing-box.exe\" run -c C:\\ProgramData\\KestruneConnect\\config.json"},
        {{"run", "-c", "C:\\Program Data\\KestruneConnect\\config.json"},
         "\"C:\\svc\\sing-box.exe\" run -c \"C:\\Program Data\\KestruneConnect\\config.json\""},
        {{""}, "\"C:\\svc\\sing-box.exe\" \"\""},
        {{"a\tb"}, "\"C:\\svc\\sing-box.exe\" \"a\tb\""},
        {{"say \"hi\""}, "\"C:\\svc\\sing-box.exe\" \"say \\\"hi\\\"\""},
        {{"a\\\"b"}, "\"C:\\svc\\sing-box.exe\" a\\\\\\\"b"},
        {{"dir\\"}, "\"C:\\svc\\sing-box.exe\" dir\\"},
        {{"my dir\\"}, "\"C:\\svc\\sing-box.exe\" \"my dir\\\\\""},
        {{"my dir\\\\"}, "\"C:\\svc\\sing-box.exe\" \"my dir\\\\\\\\\""},
        {{"a\\b\\c"}, "\"C:\\svc\\sing-box.exe\" a\\b\\c"},
        {{"\""}, "\"C:\\svc\\sing-box.exe\" \\\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(build_command_line<char>("C:\\svc\\sing-box.exe", c.args), c.expected);
        // Split again, the arguments come back as they were.
        std::vector<std::string> args{"C:\\svc\\sing-box.exe"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(split_command_line<char>(c.expected), args) << c.expected;
    }
    EXPECT_EQ(split_command_line<char>("C:\\a\\b.exe  -p\t\"x\"\"y\" a\\\\b\\"),
              (std::vector<std::string>{"C:\\a\\b.exe", "-p", "x\"y", "a\\\\b\\"}));
}

TEST(CommandLine, ExecutableIsQuotedUnchanged) {
    EXPECT_EQ(build_command_line<char>("C:\\Program Files\\x\\", {}), "\"C:\\Program Files\\x\\\"");
}

TEST(CommandLine, WideStringsFollowTheSameRules) {
    EXPECT_EQ(build_command_line<char16_t>(u"C:\\a b\\route.exe", {u"ADD", u"x y\\"}),
              u"\"C:\\a b\\route.exe\" ADD \"x y\\\\\"");
}

} // namespace
} // namespace kestrune::child
