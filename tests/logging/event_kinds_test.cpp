#include "logging/event_kinds.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace kestrune::logging {
namespace {

constexpr EventLevel I = EventLevel::information, W = EventLevel::warning, E = EventLevel::error;

TEST(ClassifyLine, TheLongestMatchingRowOrTheCatchAll) {
    struct Case {
        std::string line;
        std::uint16_t id;
        EventLevel level;
    };
    const Case cases[] = {
        {"a line nobody listed", 100, I},
        {"Kestrune service wrapper starting\n", 101, I},
        {"Kestrune service wrapper starting twice", 100, I}, // a whole-line row takes no more
        {"RDP route protection watching port 3389", 104, I},
        {"warning: something new", 200, W},
        {"warning: config.json is readable by non-administrators: C:\\D\\config.json", 203, W},
        {"RDP route protection is at its limit of 256 connected peers; new clients wait", 211, W},
        {"RDP route protection left 3 host routes in place", 213, W},
        {"RDP route protection unavailable: physical IPv4 default route has no gateway", 302, E},
        {"refusing to start sing-box: the data directory can be changed by non-administrators: C:",
         303, E},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classify_line(c.line).id, c.id) << c.line;
        EXPECT_EQ(classify_line(c.line).level, c.level) << c.line;
    }
    EXPECT_EQ(event_text("one\r\n\n"), "one\r\n");
}

// Administrators read the IDs in docs/log-and-events.md: a table row for each, with its level
// and text.
TEST(EventKinds, TheDocumentationListsEveryKind) {
    std::ifstream file(KESTRUNE_EVENT_DOC);
    ASSERT_TRUE(file) << KESTRUNE_EVENT_DOC;
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    for (const EventKind& kind : event_kinds()) {
        const char* level = kind.level == EventLevel::error     ? "Error"
                            : kind.level == EventLevel::warning ? "Warning"
                                                                : "Information";
        std::string row = "\n| " + std::to_string(kind.id) + " | " + level + " | ";
        if (!kind.text.empty()) {
            row += "`" + std::string(kind.text.substr(0, kind.text.find_last_not_of(' ') + 1));
        }
        EXPECT_NE(text.find(row), std::string::npos) << row;
    }
}

} // namespace
} // namespace kestrune::logging
