// The output pump must not allocate per line: once its line buffer has grown to the longest
// line, a steady stream of lines costs no heap allocation at all. Global operator new is
// replaced by a counting one, and lines go through pump_lines, the loop the pumps run.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "child/line_splitter.h"
#include "logging/rotation.h"

namespace {

std::atomic<std::size_t> allocations{0};

void* counted_allocation(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) {
    return counted_allocation(size);
}
void* operator new[](std::size_t size) {
    return counted_allocation(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace kestrune::child {
namespace {

// A stream of lines whose lengths (line feed included) repeat `lengths` `cycles` times, read
// back in pieces of `read_size` bytes or fewer, like a pipe that returns what is there.
struct LineStream {
    std::string bytes;
    std::size_t read_size;
    std::size_t at = 0;

    LineStream(const std::vector<std::size_t>& lengths, std::size_t cycles, std::size_t read_size)
        : read_size(read_size) {
        for (std::size_t cycle = 0; cycle < cycles; ++cycle) {
            for (const std::size_t length : lengths) {
                bytes.append(length - 1, static_cast<char>('a' + cycle % 26));
                bytes.push_back('\n');
            }
        }
    }

    ChunkRead operator()(char* dest, std::size_t capacity) {
        const std::size_t n = std::min({capacity, read_size, bytes.size() - at});
        std::memcpy(dest, bytes.data() + at, n);
        at += n;
        return ChunkRead{n, false};
    }
};

struct SteadyCount {
    std::size_t lines = 0;
    std::size_t bytes = 0;
    std::size_t allocations_after_warm_up = 0;
};

// Pumps the stream and counts the allocations made after the first `warm_up` lines, by which
// time the longest line has gone through once.
SteadyCount pump_counting(LineStream& stream, std::size_t warm_up) {
    SteadyCount count;
    std::size_t allocations_at_warm_up = 0;
    pump_lines(stream, [&](std::string_view line) {
        ++count.lines;
        count.bytes += line.size();
        if (count.lines == warm_up) {
            allocations_at_warm_up = allocations.load();
        }
    });
    count.allocations_after_warm_up = allocations.load() - allocations_at_warm_up;
    return count;
}

TEST(LineAllocations, CounterSeesAllocationsOfTheStandardLibrary) {
    const std::size_t before = allocations.load();
    std::string grown(1000, 'x');
    grown.append(100000, 'y');
    EXPECT_GE(allocations.load() - before, 2u);
}

TEST(LineAllocations, NoneOnceTheLineBufferHasGrown) {
    const struct {
        const char* name;
        std::vector<std::size_t> lengths; // one cycle; the first cycle is the warm-up
        std::size_t read_size;
    } cases[] = {
        {"16-byte lines, full reads", {16}, LineSplitter::BUFFER_SIZE},
        {"80-byte lines, full reads", {80}, LineSplitter::BUFFER_SIZE},
        {"1000-byte lines across read ends", {1000}, LineSplitter::BUFFER_SIZE},
        {"mixed lengths, short reads", {1, 80, 16, 4000, 200, 2, 999}, 700},
        {"lines longer than the read buffer", {20000, 10, 8193, 1}, LineSplitter::BUFFER_SIZE},
        {"empty lines, one byte per read", {1, 1, 5}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t cycle_bytes = 0;
        for (const std::size_t length : c.lengths) {
            cycle_bytes += length;
        }
        const std::size_t cycles = std::max<std::size_t>(3, (4u << 20) / cycle_bytes);
        LineStream stream(c.lengths, cycles, c.read_size);
        const SteadyCount count = pump_counting(stream, c.lengths.size());
        EXPECT_EQ(count.lines, cycles * c.lengths.size());
        EXPECT_EQ(count.bytes, stream.bytes.size());
        EXPECT_EQ(count.allocations_after_warm_up, 0u)
            << "over " << count.lines - c.lengths.size() << " lines";
    }
}

// Files that accept every write and allocate nothing, so only the log's own allocations count.
struct DiscardingFiles {
    using Path = std::string;
    struct File {};
    struct Held {};
    std::optional<std::uint64_t> size(const Path&) const { return 0; }
    Result<File> open(const Path&) const { return File{}; }
    Status write(File&, std::string_view) const { return {}; }
    Status remove(const Path&) const { return {}; }
    Result<Held> hold(const Path&) const { return Held{}; }
    Status move(Held&, const Path&) const { return {}; }
};

TEST(LineAllocations, NoneWhenTheLogAddsALineFeedOnceItsBufferHasGrown) {
    using Log = logging::BasicRotatingLog<DiscardingFiles>;
    Result<Log> log = Log::open("log", std::uint64_t{1} << 62, 3);
    ASSERT_TRUE(log.ok());
    const std::string longest(4000, 'x');
    ASSERT_TRUE(log->write_line(longest).ok());
    const std::size_t before = allocations.load();
    std::size_t failed = 0;
    for (std::size_t i = 0; i < 100000; ++i) {
        failed += log->write_line(std::string_view(longest).substr(0, i % 4001)).ok() ? 0 : 1;
    }
    EXPECT_EQ(allocations.load() - before, 0u);
    EXPECT_EQ(failed, 0u);
}

} // namespace
} // namespace kestrune::child
