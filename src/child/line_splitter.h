#pragma once
// Splits a byte stream into lines at each line feed, for the output pumps. Reads go into one
// buffer allocated once; each read's bytes are searched as a block, and a line longer than
// the buffer is collected over several reads. Bytes are never decoded or altered.

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::child {

// What one read from the stream delivered.
struct ChunkRead {
    std::size_t bytes = 0; // 0 means the end of the stream
    bool failed = false;   // a read error that is not the end of the stream
};

class LineSplitter {
  public:
    static constexpr std::size_t BUFFER_SIZE = 8192;

    LineSplitter() : buffer_(new char[BUFFER_SIZE]) {}

    // The next line: the bytes up to and including a line feed, or the unfinished rest when
    // the stream ends. A line that lies whole within one read is handed out as a view into
    // the read buffer, without a copy; one that spans reads is collected in `line` (emptied
    // first, its capacity kept). The view is valid until the next call. `read(dest, capacity)`
    // fills the buffer and returns a ChunkRead. Empty when there is nothing more to write: the
    // stream ended with nothing collected, or a read failed, in which case the bytes collected
    // so far are dropped.
    template <class Read>
    std::optional<std::string_view> next_line(std::string& line, Read&& read) {
        line.clear();
        for (;;) {
            if (begin_ == end_) {
                if (ended_) {
                    return rest(line);
                }
                const ChunkRead got = read(buffer_.get(), BUFFER_SIZE);
                if (got.failed) {
                    ended_ = true;
                    return std::nullopt;
                }
                if (got.bytes == 0) {
                    ended_ = true;
                    return rest(line);
                }
                begin_ = 0;
                end_ = got.bytes < BUFFER_SIZE ? got.bytes : BUFFER_SIZE;
            }
            const char* start = buffer_.get() + begin_;
            const std::size_t available = end_ - begin_;
            const void* feed = std::memchr(start, '\n', available);
            if (feed == nullptr) {
                line.append(start, available);
                begin_ = end_;
                continue;
            }
            const auto length =
                static_cast<std::size_t>(static_cast<const char*>(feed) - start) + 1;
            begin_ += length;
            if (line.empty()) {
                return std::string_view(start, length);
            }
            line.append(start, length);
            return std::string_view(line);
        }
    }

  private:
    static std::optional<std::string_view> rest(const std::string& line) {
        if (line.empty()) {
            return std::nullopt;
        }
        return std::string_view(line);
    }

    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
};

// The pump's loop: one `write(line)` per line, until the stream ends or a read fails.
template <class Read, class Write> void pump_lines(Read&& read, Write&& write) {
    LineSplitter splitter;
    // Room for any line that spans two reads of the buffer's size, so the common lines never
    // grow it; only longer ones do, until it holds the longest seen.
    std::string line;
    line.reserve(LineSplitter::BUFFER_SIZE);
    while (const std::optional<std::string_view> next = splitter.next_line(line, read)) {
        write(*next);
    }
}

} // namespace kestrune::child
