#pragma once
// The process-wide log: one RotatingLog behind one mutex, opened by the first successful
// shared_log() call and kept until the process ends.
//
// Writers hold the mutex for exactly one line and take no other lock while they hold it:
//   std::lock_guard guard(log->mutex);
//   (void)log->log.write_line(bytes);

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "logging/rotating_log.h"
#include "win/result.h"

namespace kestrune::logging {

inline constexpr std::wstring_view LOG_FILE_NAME = L"sing-box-service.log";
inline constexpr std::uint64_t LOG_MAX_BYTES = 10485760;
inline constexpr std::uint64_t LOG_MAX_BACKUPS = 3;

struct SharedLog {
    std::mutex mutex;
    RotatingLog log;
};

// A counted reference to the published log. The first successful call creates the data
// directory (with its missing ancestors), opens the log in it and publishes it; that fixes the
// path for the rest of the process. A failure stores nothing, so the next call starts over.
// Once published, a call takes no lock.
Result<std::shared_ptr<SharedLog>> shared_log();

} // namespace kestrune::logging
