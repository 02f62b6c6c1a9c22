// Throughput of the pumps' line splitting against the bare cost of finding the line feeds.
//
//   BM_MemchrScan/L     memchr from one line feed to the next over the whole buffer: the
//                       least any splitter has to do.
//   BM_MemchrCopy/L     the same scan plus copying each line into one reused string: what a
//                       splitter that hands out its lines from a line buffer cannot avoid.
//   BM_LineSplitter/L   pump_lines, the pumps' loop, fed in reads of 8192 bytes.
//
// L is the line length with its line feed. Every variant reports bytes per second over the
// same 4 MiB buffer.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "child/line_splitter.h"

namespace {

constexpr std::size_t STREAM_BYTES = 4u << 20;

std::string lines_of(std::size_t length) {
    std::string bytes;
    bytes.reserve(STREAM_BYTES);
    while (bytes.size() + length <= STREAM_BYTES) {
        bytes.append(length - 1, 'x');
        bytes.push_back('\n');
    }
    return bytes;
}

void BM_MemchrScan(benchmark::State& state) {
    const std::string bytes = lines_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::size_t lines = 0;
        const char* at = bytes.data();
        const char* const end = at + bytes.size();
        while (const void* feed = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
            at = static_cast<const char*>(feed) + 1;
            ++lines;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_MemchrCopy(benchmark::State& state) {
    const std::string bytes = lines_of(static_cast<std::size_t>(state.range(0)));
    std::string line;
    for (auto _ : state) {
        const char* at = bytes.data();
        const char* const end = at + bytes.size();
        while (const void* feed = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
            const char* next = static_cast<const char*>(feed) + 1;
            line.assign(at, next);
            benchmark::DoNotOptimize(line.data());
            at = next;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_LineSplitter(benchmark::State& state) {
    const std::string bytes = lines_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::size_t at = 0;
        auto read = [&](char* dest, std::size_t capacity) {
            const std::size_t n = std::min(capacity, bytes.size() - at);
            std::memcpy(dest, bytes.data() + at, n);
            at += n;
            return kestrune::child::ChunkRead{n, false};
        };
        std::size_t written = 0;
        kestrune::child::pump_lines(read, [&](std::string_view line) {
            benchmark::DoNotOptimize(line.data());
            written += line.size();
        });
        benchmark::DoNotOptimize(written);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

} // namespace

BENCHMARK(BM_MemchrScan)->Arg(16)->Arg(80)->Arg(1000);
BENCHMARK(BM_MemchrCopy)->Arg(16)->Arg(80)->Arg(1000);
BENCHMARK(BM_LineSplitter)->Arg(16)->Arg(80)->Arg(1000);

BENCHMARK_MAIN();
