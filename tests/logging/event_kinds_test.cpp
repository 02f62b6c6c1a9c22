#include "logging/event_kinds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace kestrune::logging {
namespace {

constexpr EventLevel I = EventLevel::information, W = EventLevel::warning, E = EventLevel::error;

// Lines as the service writes them, near misses, and the event each becomes.
struct Case {
    std::string line;
    std::uint16_t id;
    EventLevel level;
};
const Case CASES[] = {
    {"a line nobody listed", 100, I},
    {"Kestrune service wrapper starting\n", 101, I},
    {"Kestrune service wrapper starting twice", 100, I}, // a whole-line row takes no more
    {"RDP route protection watching port 3389", 104, I},
    {"RDP physical return route added for 203.0.113.7", 105, I},
    {"warning: something not listed yet", 200, W},
    {"warning: data directory is writable by non-administrators: C:\\D", 201, W}, // longest
    {"warning: config.json is readable by non-administrators: C:\\D\\config.json", 203, W},
    {"sing-box exited unexpectedly: exit code: 0xc0000005", 204, W},
    {"RDP route add failed: route.exe ADD 203.0.113.7 did not finish within 10 seconds", 209, W},
    {"RDP route protection is at its limit of 256 connected peers; new clients wait", 211, W},
    {"RDP port lookup failed: RegQueryValueExW failed: 2", 212, W},
    {"RDP route protection unavailable: physical IPv4 default route has no gateway", 302, E},
    {"refusing to start sing-box: the data directory can be changed by non-administrators: C:\\D",
     303, E},
    {"sing-box restart failed: spawn sing-box: Access is denied. (os error 5)", 304, E},
};

TEST(ClassifyLine, TheLongestMatchingRowOrTheCatchAll) {
    for (const Case& c : CASES) {
        const EventKind& kind = classify_line(c.line);
        EXPECT_EQ(kind.id, c.id) << c.line;
        EXPECT_EQ(kind.level, c.level) << c.line;
    }
    EXPECT_EQ(event_text("one\n"), "one");
    EXPECT_EQ(event_text("one\r\n\n"), "one\r\n");
}

// Administrators read the IDs in the README: a row there for each, with its level and text.
TEST(EventKinds, TheReadmeListsEveryKind) {
    std::ifstream readme(KESTRUNE_README);
    ASSERT_TRUE(readme) << KESTRUNE_README;
    std::vector<std::string> rows;
    for (std::string line; std::getline(readme, line);) {
        rows.push_back(line);
    }
    for (const EventKind& kind : event_kinds()) {
        const char* level = kind.level == EventLevel::error     ? "Error"
                            : kind.level == EventLevel::warning ? "Warning"
                                                                : "Information";
        const std::string start = "| " + std::to_string(kind.id) + " | " + level + " | ";
        std::string text(kind.text);
        if (text.ends_with(' ')) {
            text.pop_back();
        }
        const bool listed = std::any_of(rows.begin(), rows.end(), [&](const std::string& row) {
            return row.starts_with(start) &&
                   (text.empty() || row.find("`" + text) != std::string::npos);
        });
        EXPECT_TRUE(listed) << start << "`" << text << "`";
    }
}

} // namespace
} // namespace kestrune::logging
