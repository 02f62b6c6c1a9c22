#include "child/line_splitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace kestrune::child {
namespace {

// A stream that hands out the given chunks, one per read (cut to the reader's capacity), and
// then either the end of the stream or a read error.
struct FakeStream {
    std::vector<std::string> chunks;
    bool fail_at_end = false;
    std::size_t next = 0;
    std::size_t offset = 0;
    int reads = 0;
    int reads_after_end = 0;

    ChunkRead operator()(char* dest, std::size_t capacity) {
        ++reads;
        if (next == chunks.size()) {
            ++reads_after_end;
            return ChunkRead{0, fail_at_end};
        }
        const std::string& chunk = chunks[next];
        const std::size_t n = std::min(capacity, chunk.size() - offset);
        std::memcpy(dest, chunk.data() + offset, n);
        offset += n;
        if (offset == chunk.size()) {
            ++next;
            offset = 0;
        }
        return ChunkRead{n, false};
    }
};

std::vector<std::string> pump(FakeStream& stream) {
    std::vector<std::string> lines;
    pump_lines(stream, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

TEST(LineSplitter, ChunksInLinesOut) {
    const std::string invalid_utf8 = "\xff\xfe\xc3(\x80\n";
    const struct {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> lines;
    } cases[] = {
        {"nothing", {}, {}},
        {"two lines in one read", {"first\nsecond\n"}, {"first\n", "second\n"}},
        {"a line over three reads", {"par", "t o", "f it\n"}, {"part of it\n"}},
        {"last line without a line feed", {"done\nno end"}, {"done\n", "no end"}},
        {"CR LF kept", {"windows\r\n"}, {"windows\r\n"}},
        {"lone CR is no line end", {"a\rb\n"}, {"a\rb\n"}},
        {"lone line feeds are empty lines", {"\n\n", "x\n"}, {"\n", "\n", "x\n"}},
        {"line feed alone in the last read", {"abc", "\n"}, {"abc\n"}},
        {"a NUL byte is data", {std::string("a\0b\n", 4)}, {std::string("a\0b\n", 4)}},
        {"invalid UTF-8 unchanged", {invalid_utf8}, {invalid_utf8}},
        {"escape sequences unchanged", {"\x1b[31mred\x1b[0m\n"}, {"\x1b[31mred\x1b[0m\n"}},
    };
    for (const auto& c : cases) {
        FakeStream stream{c.chunks};
        EXPECT_EQ(pump(stream), c.lines) << c.name;
    }
}

TEST(LineSplitter, LongLineCollectedOverSeveralFullReadsIsOneWrite) {
    const std::string line = std::string(20000, 'x') + "\n";
    FakeStream stream{{line + "tail\n"}};
    const auto lines = pump(stream);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], line);
    EXPECT_EQ(lines[1], "tail\n");
    // 20,006 bytes fill the 8192-byte buffer three times, then one read finds the end.
    EXPECT_EQ(stream.reads, 4);
}

TEST(LineSplitter, ManyLinesInOneReadCostOneRead) {
    std::string burst;
    for (int i = 0; i < 500; ++i) {
        burst += "line " + std::to_string(i) + "\n";
    }
    ASSERT_LT(burst.size(), LineSplitter::BUFFER_SIZE);
    FakeStream stream{{burst}};
    EXPECT_EQ(pump(stream).size(), 500u);
    EXPECT_EQ(stream.reads, 2);
}

TEST(LineSplitter, ReadErrorDropsTheUnfinishedLineAndStops) {
    FakeStream stream{{"whole\npart"}, true};
    EXPECT_EQ(pump(stream), std::vector<std::string>{"whole\n"});
    EXPECT_EQ(stream.reads_after_end, 1);
}

TEST(LineSplitter, NoReadAfterTheEndOfTheStream) {
    FakeStream stream{{"unfinished"}};
    LineSplitter splitter;
    std::string line;
    EXPECT_EQ(splitter.next_line(line, stream), "unfinished");
    EXPECT_EQ(splitter.next_line(line, stream), std::nullopt);
    EXPECT_TRUE(line.empty());
    EXPECT_EQ(stream.reads_after_end, 1);
}

} // namespace
} // namespace kestrune::child
