// The throughput runs trust this check to say that the log really holds every byte, so it
// must notice each way a copy can go wrong.

#include "numbered_lines.h"

#include <gtest/gtest.h>

namespace kestrune::bench {
namespace {

std::string lines(std::size_t length, std::uint64_t first, std::uint64_t end) {
    std::string out;
    for (std::uint64_t n = first; n < end; ++n) {
        out += numbered_line(length, n);
    }
    return out;
}

TEST(NumberedLines, Shape) {
    EXPECT_EQ(numbered_line(2, 7), "7\n");
    EXPECT_EQ(numbered_line(8, 42), "0000042\n");
    EXPECT_EQ(numbered_line(16, 3), "000000000003...\n");
}

TEST(NumberedLines, CopyCheck) {
    const NumberedRun run{16, 5, "end"};
    const std::string all = lines(16, 0, 5);
    const std::string tail = lines(16, 2, 5);
    std::string damaged = all;
    damaged[20] = 'x';
    const struct {
        const char* name;
        std::vector<std::string> parts;
        bool from_first;
        bool ok;
        std::uint64_t checked;
    } cases[] = {
        {"whole copy", {all + "end\n"}, true, true, 5},
        {"split over rotated parts", {lines(16, 0, 2), lines(16, 2, 5), "end\n"}, true, true, 5},
        {"older lines rotated away", {tail, "end\n"}, false, true, 3},
        {"older lines missing where all are due", {tail + "end\n"}, true, false, 0},
        {"a line dropped", {lines(16, 0, 2) + lines(16, 3, 5) + "end\n"}, true, false, 0},
        {"a line repeated", {lines(16, 0, 3) + lines(16, 2, 5) + "end\n"}, true, false, 0},
        {"a byte changed", {damaged + "end\n"}, true, false, 0},
        {"the last line missing", {lines(16, 0, 4) + "end\n"}, true, false, 0},
        {"no end marker", {all}, true, false, 0},
        {"bytes after the marker", {all + "end\n", "x"}, true, false, 0},
        {"a line cut short", {all.substr(0, all.size() - 1) + "end\n"}, true, false, 0},
        {"garbage first line", {"not a numbered\n" + tail + "end\n"}, false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string_view> parts(c.parts.begin(), c.parts.end());
        const Result<std::uint64_t> checked = check_numbered_copy(parts, run, c.from_first);
        ASSERT_EQ(checked.ok(), c.ok) << (checked.ok() ? "" : checked.error());
        if (c.ok) {
            EXPECT_EQ(*checked, c.checked);
        }
    }
}

} // namespace
} // namespace kestrune::bench
