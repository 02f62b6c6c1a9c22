#include "numbered_lines.h"

#include <algorithm>
#include <cstring>

namespace kestrune::bench {
namespace {

constexpr std::size_t MAX_DIGITS = 12;

std::size_t digits_of(std::size_t length) {
    return std::min(length - 1, MAX_DIGITS);
}

// The number of a line of the run's shape, or -1 when the line has another shape.
std::int64_t number_of(std::string_view line, std::size_t length) {
    if (line.size() != length || line.back() != '\n') {
        return -1;
    }
    std::int64_t number = 0;
    for (std::size_t i = 0; i < digits_of(length); ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return -1;
        }
        number = number * 10 + (line[i] - '0');
    }
    return number;
}

std::string where(std::size_t part, std::size_t offset) {
    return " (part " + std::to_string(part) + ", byte " + std::to_string(offset) + ")";
}

} // namespace

std::string numbered_line(std::size_t length, std::uint64_t number) {
    std::string line(length, '.');
    for (std::size_t d = digits_of(length); d-- > 0; number /= 10) {
        line[d] = static_cast<char>('0' + number % 10);
    }
    line.back() = '\n';
    return line;
}

Result<std::uint64_t> check_numbered_copy(const std::vector<std::string_view>& parts,
                                          const NumberedRun& run, bool from_first) {
    const std::size_t length = run.line_length;
    const std::string marker = run.marker + "\n";
    std::uint64_t next = 0;
    std::uint64_t checked = 0;
    bool started = from_first;
    bool marker_seen = false;
    for (std::size_t p = 0; p < parts.size(); ++p) {
        const std::string_view part = parts[p];
        for (std::size_t at = 0; at < part.size();) {
            if (marker_seen) {
                return fail("bytes after the end marker" + where(p, at));
            }
            if (next == run.lines && part.substr(at) == marker) {
                marker_seen = true;
                at = part.size();
                continue;
            }
            const std::string_view line = part.substr(at, length);
            if (!started) {
                const std::int64_t first = number_of(line, length);
                if (first < 0) {
                    return fail("the first line is not a numbered line" + where(p, at));
                }
                next = static_cast<std::uint64_t>(first);
                started = true;
            }
            if (next >= run.lines) {
                return fail("more lines than written" + where(p, at));
            }
            if (line != numbered_line(length, next)) {
                return fail("line " + std::to_string(next) + " missing or damaged" + where(p, at));
            }
            ++next;
            ++checked;
            at += length;
        }
    }
    if (!marker_seen) {
        return fail("ends after line " + std::to_string(next) + " of " + std::to_string(run.lines) +
                    " without the end marker");
    }
    return checked;
}

} // namespace kestrune::bench
