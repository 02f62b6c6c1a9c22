#pragma once
// Splits a byte stream into lines at each line feed, for the output pumps. Reads go into one
// buffer allocated once; each read's bytes are searched as a block, and a line longer than
// the buffer is collected over several reads. Bytes are never decoded or altered.

#include <cstddef>
#include <memory>
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

    // Collects the next line into `line` (emptied first, its capacity kept): the bytes up to
    // and including a line feed, or the unfinished rest when the stream ends. `read(dest,
    // capacity)` fills the buffer and returns a ChunkRead. False when there is nothing more
    // to write: the stream ended with nothing collected, or a read failed, in which case the
    // bytes collected so far are dropped.
    template <class Read> bool next_line(std::string& line, Read&& read) {
        line.clear();
        for (;;) {
            if (begin_ == end_) {
                if (ended_) {
                    return !line.empty();
                }
                const ChunkRead got = read(buffer_.get(), BUFFER_SIZE);
                if (got.failed) {
                    ended_ = true;
                    return false;
                }
                if (got.bytes == 0) {
                    ended_ = true;
                    return !line.empty();
                }
                begin_ = 0;
                end_ = got.bytes < BUFFER_SIZE ? got.bytes : BUFFER_SIZE;
            }
            if (take(line)) {
                return true;
            }
        }
    }

  private:
    // Moves the unconsumed bytes up to the first line feed (or all of them) onto `line`;
    // true when a line feed was among them.
    bool take(std::string& line);

    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
};

// The pump's loop: one `write(line)` per line, until the stream ends or a read fails.
template <class Read, class Write> void pump_lines(Read&& read, Write&& write) {
    LineSplitter splitter;
    std::string line;
    while (splitter.next_line(line, read)) {
        write(std::string_view(line));
    }
}

} // namespace kestrune::child
