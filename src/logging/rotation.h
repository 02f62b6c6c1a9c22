#pragma once
// The size-rotated log file, written once over a small file-system interface so that the
// thresholds, the backup chain and the failure states are decided the same way on Windows
// (WinFiles, real files) and in the native tests (a fake file system).
//
// `Files` provides:
//   using Path;                                   // a string type of the platform's paths
//   using File;                                   // move-only, closes its file when destroyed
//   std::optional<std::uint64_t> size(const Path&);  // empty: missing or unreadable
//   Result<File> open(const Path&);               // append-only, created when missing
//   Status write(File&, std::string_view);        // all the bytes, or an error
//   Status remove(const Path&);
//   Status rename(const Path& from, const Path& to);  // replaces an existing `to`

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "win/result.h"

namespace kestrune::logging {

inline constexpr std::string_view LOG_NOT_OPEN = "rotating log file is not open";

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
    return a > MAX - b ? MAX : a + b;
}

// Backup number n of `path`: the path, a full stop and n in decimal (log.1 is the newest).
template <class Path> Path backup_path(const Path& path, std::uint64_t n) {
    Path out = path;
    out.push_back('.');
    for (const char digit : std::to_string(n)) {
        out.push_back(static_cast<typename Path::value_type>(digit));
    }
    return out;
}

template <class Files> class BasicRotatingLog {
  public:
    using Path = typename Files::Path;
    using File = typename Files::File;

    // Opens `path`, rotating it first when it already holds max_bytes or more.
    static Result<BasicRotatingLog> open(Path path, std::uint64_t max_bytes,
                                         std::uint64_t max_backups, Files files = Files{}) {
        BasicRotatingLog log(std::move(files), std::move(path), max_bytes, max_backups);
        log.current_size_ = log.files_.size(log.path_).value_or(0);
        Status opened = log.current_size_ >= max_bytes ? log.rotate() : log.reopen();
        if (!opened) {
            return fail(std::move(opened).error());
        }
        return log;
    }

    BasicRotatingLog(BasicRotatingLog&& other) noexcept
        : files_(std::move(other.files_)), file_(std::exchange(other.file_, std::nullopt)),
          path_(std::move(other.path_)), max_bytes_(other.max_bytes_),
          max_backups_(other.max_backups_), current_size_(other.current_size_) {}
    BasicRotatingLog& operator=(BasicRotatingLog&& other) noexcept {
        if (this != &other) {
            files_ = std::move(other.files_);
            file_ = std::exchange(other.file_, std::nullopt);
            path_ = std::move(other.path_);
            max_bytes_ = other.max_bytes_;
            max_backups_ = other.max_backups_;
            current_size_ = other.current_size_;
        }
        return *this;
    }
    BasicRotatingLog(const BasicRotatingLog&) = delete;
    BasicRotatingLog& operator=(const BasicRotatingLog&) = delete;

    // Appends `bytes` and, unless they end in one, a line feed; rotates first when the line
    // would take the file past max_bytes. The caller holds the shared log's mutex.
    Status write_line(std::string_view bytes) {
        const bool add_line_feed = bytes.empty() || bytes.back() != '\n';
        const std::uint64_t need = saturating_add(bytes.size(), add_line_feed ? 1 : 0);
        if (!file_ && current_size_ == 0) {
            // Closed with size 0: the open after a rotation failed. Try it again rather than
            // losing every later line.
            if (Status reopened = reopen(); !reopened) {
                return reopened;
            }
        }
        // Closed with a size above 0: an earlier rotation stopped at a rename, and it is tried
        // again before every line until it succeeds.
        if (current_size_ != 0 && (!file_ || saturating_add(current_size_, need) > max_bytes_)) {
            if (Status rotated = rotate(); !rotated) {
                return rotated;
            }
        }
        if (!file_) {
            return fail(std::string(LOG_NOT_OPEN));
        }
        if (Status written = files_.write(*file_, bytes); !written) {
            return written;
        }
        if (add_line_feed) {
            if (Status written = files_.write(*file_, "\n"); !written) {
                return written;
            }
        }
        current_size_ = saturating_add(current_size_, need);
        return {};
    }

    // Closes the file, shifts the backups up by one (the oldest is dropped, missing ones are
    // skipped), moves the file to backup 1 and opens a new one.
    Status rotate() {
        file_.reset();
        if (max_backups_ == 0) {
            (void)files_.remove(path_);
        } else {
            (void)files_.remove(backup_path(path_, max_backups_));
            for (std::uint64_t n = max_backups_ - 1; n >= 1; --n) {
                const Path from = backup_path(path_, n);
                if (files_.size(from)) {
                    if (Status moved = files_.rename(from, backup_path(path_, n + 1)); !moved) {
                        return moved;
                    }
                }
            }
            if (files_.size(path_)) {
                if (Status moved = files_.rename(path_, backup_path(path_, 1)); !moved) {
                    return moved;
                }
            }
        }
        current_size_ = 0;
        return reopen();
    }

    bool is_open() const { return file_.has_value(); }
    std::uint64_t current_size() const { return current_size_; }
    const Path& path() const { return path_; }

  private:
    BasicRotatingLog(Files files, Path path, std::uint64_t max_bytes, std::uint64_t max_backups)
        : files_(std::move(files)), path_(std::move(path)), max_bytes_(max_bytes),
          max_backups_(max_backups) {}

    // Opens `path` and takes its size from the file system (0 when it cannot be read).
    Status reopen() {
        Result<File> opened = files_.open(path_);
        if (!opened) {
            return fail(std::move(opened).error());
        }
        file_.emplace(std::move(opened).value());
        current_size_ = files_.size(path_).value_or(0);
        return {};
    }

    Files files_;
    std::optional<File> file_;
    Path path_;
    std::uint64_t max_bytes_ = 0;
    std::uint64_t max_backups_ = 0;
    // Bytes the current file is taken to hold: read at each open, then counted per line.
    std::uint64_t current_size_ = 0;
};

} // namespace kestrune::logging
