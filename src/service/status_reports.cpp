#include "service/status_reports.h"

namespace kestrune::service {
namespace {

bool is_pending(std::uint32_t state) {
    return state == STATE_START_PENDING || state == STATE_STOP_PENDING;
}

// Whether `state` may follow the last report made.
bool may_follow(const std::optional<StatusReport>& last, std::uint32_t state) {
    if (!last) {
        return true;
    }
    if (last->state == STATE_STOPPED) {
        return false;
    }
    return last->state != STATE_STOP_PENDING || state == STATE_STOP_PENDING ||
           state == STATE_STOPPED;
}

} // namespace

bool StatusSequence::report(std::uint32_t state, std::uint32_t controls_accepted,
                            std::uint32_t win32_exit_code) {
    std::lock_guard lock(mutex_);
    if (!may_follow(last_, state)) {
        return false;
    }
    StatusReport next{
        .state = state, .controls_accepted = controls_accepted, .win32_exit_code = win32_exit_code};
    if (is_pending(state)) {
        next.check_point = last_ && last_->state == state ? last_->check_point + 1 : 0;
        next.wait_hint_ms = PENDING_WAIT_HINT_MS;
    }
    last_ = next;
    sink_(next);
    return true;
}

void StatusSequence::restart() {
    std::lock_guard lock(mutex_);
    last_.reset();
}

} // namespace kestrune::service
