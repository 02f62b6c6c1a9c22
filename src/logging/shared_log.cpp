#include "logging/shared_log.h"

#include <atomic>

#include "logging/directory.h"
#include "logging/log_directory.h"
#include "logging/log_path.h"

namespace kestrune::logging {
namespace {

// The once-only slot: null until the first success, then a heap reference that is never
// freed, so a reader never sees it go away.
std::atomic<std::shared_ptr<SharedLog>*> published{nullptr};

// Serializes first opens, so a log already over its limit is rotated once, not once per
// racing caller. Never taken after publication.
std::mutex first_open;

} // namespace

Result<std::shared_ptr<SharedLog>> shared_log() {
    if (std::shared_ptr<SharedLog>* log = published.load(std::memory_order_acquire)) {
        return *log;
    }
    std::lock_guard guard(first_open);
    if (std::shared_ptr<SharedLog>* log = published.load(std::memory_order_acquire)) {
        return *log;
    }
    const std::wstring directory = log_directory();
    if (Status created = create_directory_chain(directory); !created) {
        return fail(std::move(created).error());
    }
    Result<RotatingLog> opened =
        RotatingLog::open(join_path(directory, LOG_FILE_NAME), LOG_MAX_BYTES, LOG_MAX_BACKUPS);
    if (!opened) {
        return fail(std::move(opened).error());
    }
    auto* slot = new std::shared_ptr<SharedLog>(new SharedLog{{}, std::move(opened).value()});
    published.store(slot, std::memory_order_release);
    return *slot;
}

} // namespace kestrune::logging
