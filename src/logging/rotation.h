#pragma once
// The size-rotated log file, written once over a small file-system interface so that the
// thresholds, the backup chain and the failure states are decided the same way on Windows
// (WinFiles, real files) and in the native tests (a fake file system).
//
// `Files` provides:
//   using Path;                                   // a string type of the platform's paths
//   using File;                                   // move-only, closes its file when destroyed
//   using Held;                                   // move-only: a file held ready to be moved
//   std::optional<std::uint64_t> size(const Path&);  // empty: missing or unreadable
//   Result<File> open(const Path&);               // append-only, created when missing
//   Status write(File&, std::string_view);        // all the bytes, or an error
//   Status remove(const Path&);
//   Result<Held> hold(const Path&);               // fails while someone else's handle on the
//                                                 // file does not share deletion; while it is
//                                                 // held, no such handle can be opened
//   Status move(Held&, const Path& to);           // renames the held file, replacing `to`
//
// A reader that opened the log without sharing deletion (the C runtime's fopen, many tail
// tools) makes every rename of it fail. So a rotation first holds every file it will move; when
// one cannot be held, nothing is touched, the lines go on into the live file past the limit,
// and the rotation is tried again once `retry_bytes` more have been written.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "win/result.h"

namespace kestrune::logging {

inline constexpr std::string_view LOG_NOT_OPEN = "rotating log file is not open";
// How far a log whose rotation could not be done grows before the rotation is tried again.
inline constexpr std::uint64_t ROTATION_RETRY_BYTES = 65536;
// A line that needs a line feed is copied into a buffer kept for the next such line, up to
// this size; a longer buffer is given back after its line.
inline constexpr std::size_t LINE_BUFFER_KEEP = 65536;

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
    using Held = typename Files::Held;

    // Opens `path`, rotating it first when it already holds max_bytes or more. A rotation that
    // cannot be done now leaves the log open on the full file.
    static Result<BasicRotatingLog> open(Path path, std::uint64_t max_bytes,
                                         std::uint64_t max_backups, Files files = Files{},
                                         std::uint64_t retry_bytes = ROTATION_RETRY_BYTES) {
        BasicRotatingLog log(std::move(files), std::move(path), max_bytes, max_backups,
                             retry_bytes);
        log.current_size_ = log.files_.size(log.path_).value_or(0);
        Status opened = log.current_size_ >= max_bytes ? log.rotate() : log.reopen();
        if (!log.file_) {
            return fail(std::move(opened).error());
        }
        return log;
    }

    BasicRotatingLog(BasicRotatingLog&& other) noexcept
        : files_(std::move(other.files_)), file_(std::exchange(other.file_, std::nullopt)),
          path_(std::move(other.path_)), max_bytes_(other.max_bytes_),
          max_backups_(other.max_backups_), retry_bytes_(other.retry_bytes_),
          current_size_(other.current_size_), rotation_limit_(other.rotation_limit_),
          line_(std::move(other.line_)) {}
    BasicRotatingLog& operator=(BasicRotatingLog&& other) noexcept {
        if (this != &other) {
            files_ = std::move(other.files_);
            file_ = std::exchange(other.file_, std::nullopt);
            path_ = std::move(other.path_);
            max_bytes_ = other.max_bytes_;
            max_backups_ = other.max_backups_;
            retry_bytes_ = other.retry_bytes_;
            current_size_ = other.current_size_;
            rotation_limit_ = other.rotation_limit_;
            line_ = std::move(other.line_);
        }
        return *this;
    }
    BasicRotatingLog(const BasicRotatingLog&) = delete;
    BasicRotatingLog& operator=(const BasicRotatingLog&) = delete;

    // Appends `bytes` and, unless they end in one, a line feed, in one write so that no other
    // writer of the file lands in between. Rotates first when the line would take the file
    // past max_bytes (or, after a rotation that could not be done, past the point where it is
    // tried again). The caller holds the shared log's mutex.
    Status write_line(std::string_view bytes) {
        const bool add_line_feed = bytes.empty() || bytes.back() != '\n';
        const std::uint64_t need = saturating_add(bytes.size(), add_line_feed ? 1 : 0);
        if (!file_) {
            // An open after a rotation failed. Try it again rather than losing every later
            // line.
            if (Status reopened = reopen(); !reopened) {
                return reopened;
            }
        }
        if (current_size_ != 0 && saturating_add(current_size_, need) > rotation_limit_) {
            // A rotation that could not be done opens the live file again: the line goes there.
            if (Status rotated = rotate(); !rotated && !file_) {
                return rotated;
            }
        }
        if (!file_) {
            return fail(std::string(LOG_NOT_OPEN));
        }
        Status written = files_.write(*file_, with_line_feed(bytes, add_line_feed));
        if (line_.capacity() > LINE_BUFFER_KEEP) {
            std::string().swap(line_);
        }
        if (!written) {
            return written;
        }
        current_size_ = saturating_add(current_size_, need);
        return {};
    }

    // Shifts the backups up by one (the oldest is dropped, missing ones are skipped), moves the
    // file to backup 1 and opens a new one. When a file to be moved cannot be held, or a move
    // fails, returns the error with the log open again on the live file and the next attempt
    // put off by retry_bytes.
    Status rotate() {
        // Closed first: a file that someone deleted while it was open (share mode 7) is gone
        // only once the last handle on it is closed.
        file_.reset();
        std::optional<Held> live;
        if (files_.size(path_)) {
            Result<Held> held = files_.hold(path_);
            if (!held) {
                return put_off(std::move(held).error());
            }
            live.emplace(std::move(held).value());
        }
        if (max_backups_ == 0) {
            live.reset();
            (void)files_.remove(path_);
        } else {
            // Backups 1 to max_backups - 1 as they stand, newest first.
            std::vector<std::pair<std::uint64_t, Held>> backups;
            for (std::uint64_t n = 1; n < max_backups_; ++n) {
                if (files_.size(backup_path(path_, n))) {
                    Result<Held> held = files_.hold(backup_path(path_, n));
                    if (!held) {
                        return put_off(std::move(held).error());
                    }
                    backups.emplace_back(n, std::move(held).value());
                }
            }
            (void)files_.remove(backup_path(path_, max_backups_));
            for (auto backup = backups.rbegin(); backup != backups.rend(); ++backup) {
                if (Status moved =
                        files_.move(backup->second, backup_path(path_, backup->first + 1));
                    !moved) {
                    return put_off(std::move(moved).error());
                }
            }
            if (live) {
                if (Status moved = files_.move(*live, backup_path(path_, 1)); !moved) {
                    return put_off(std::move(moved).error());
                }
            }
        }
        live.reset();
        current_size_ = 0;
        rotation_limit_ = max_bytes_;
        return reopen();
    }

    bool is_open() const { return file_.has_value(); }
    std::uint64_t current_size() const { return current_size_; }
    const Path& path() const { return path_; }

  private:
    BasicRotatingLog(Files files, Path path, std::uint64_t max_bytes, std::uint64_t max_backups,
                     std::uint64_t retry_bytes)
        : files_(std::move(files)), path_(std::move(path)), max_bytes_(max_bytes),
          max_backups_(max_backups), retry_bytes_(retry_bytes), rotation_limit_(max_bytes) {}

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

    // The rotation is left for later: the log goes on in the live file. Should that open fail,
    // the next line tries it again.
    Status put_off(std::string error) {
        (void)reopen();
        rotation_limit_ = saturating_add(current_size_, retry_bytes_);
        return fail(std::move(error));
    }

    std::string_view with_line_feed(std::string_view bytes, bool add_line_feed) {
        if (!add_line_feed) {
            return bytes;
        }
        line_.assign(bytes);
        line_.push_back('\n');
        return line_;
    }

    Files files_;
    std::optional<File> file_;
    Path path_;
    std::uint64_t max_bytes_ = 0;
    std::uint64_t max_backups_ = 0;
    std::uint64_t retry_bytes_ = ROTATION_RETRY_BYTES;
    // Bytes the current file is taken to hold: read at each open, then counted per line.
    std::uint64_t current_size_ = 0;
    // A line that would take current_size_ past this rotates first: max_bytes_, or further
    // once a rotation has been put off.
    std::uint64_t rotation_limit_ = 0;
    std::string line_; // a line with its added line feed
};

} // namespace kestrune::logging
