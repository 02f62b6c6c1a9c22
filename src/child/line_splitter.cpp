#include "child/line_splitter.h"

#include <cstring>

namespace kestrune::child {

bool LineSplitter::take(std::string& line) {
    const char* start = buffer_.get() + begin_;
    const std::size_t available = end_ - begin_;
    const void* feed = std::memchr(start, '\n', available);
    const std::size_t length =
        feed == nullptr ? available
                        : static_cast<std::size_t>(static_cast<const char*>(feed) - start) + 1;
    line.append(start, length);
    begin_ += length;
    return feed != nullptr;
}

} // namespace kestrune::child
