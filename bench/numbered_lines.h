#pragma once
// The numbered lines the sing-box stand-in writes for throughput runs ("lines" step), and the
// check that a captured copy of them is whole: every line intact, none missing or repeated,
// the last one followed by the end marker.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "win/result.h"

namespace kestrune::bench {

// Line `number` of length `length` (line feed included): the number in decimal, zero-padded
// to min(length - 1, 12) digits, then '.' up to length - 1 bytes, then a line feed.
std::string numbered_line(std::size_t length, std::uint64_t number);

struct NumberedRun {
    std::size_t line_length = 80;
    std::uint64_t lines = 0; // numbered 0 .. lines - 1
    std::string marker;      // the line written after them, without its line feed
};

// Checks `parts` (oldest first, e.g. the rotated backups then the live log) against the run.
// Each part holds whole lines. The copy must end with the last numbered line and the marker;
// with `from_first` it must also start at line 0, otherwise it may start at any line (older
// lines having been rotated away). Returns how many numbered lines were checked, or a
// description of the first difference.
Result<std::uint64_t> check_numbered_copy(const std::vector<std::string_view>& parts,
                                          const NumberedRun& run, bool from_first);

} // namespace kestrune::bench
