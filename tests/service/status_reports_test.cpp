#include <gtest/gtest.h>

#include <vector>

#include "service/status_reports.h"

namespace kestrune::service {
namespace {

struct Recorder {
    std::vector<StatusReport> made;
    StatusSequence sequence{[this](const StatusReport& report) { made.push_back(report); }};
};

StatusReport pending(std::uint32_t state, std::uint32_t controls, std::uint32_t check_point) {
    return {state, controls, 0, check_point, PENDING_WAIT_HINT_MS};
}

TEST(StatusSequence, PendingReportsCountTheirStepsAndSettledOnesCarryNoHint) {
    Recorder r;
    EXPECT_TRUE(r.sequence.report(STATE_START_PENDING, 0, 0));
    r.sequence.report(STATE_START_PENDING, ACCEPTS_STOP, 0);
    r.sequence.report(STATE_START_PENDING, ACCEPTS_STOP, 0);
    r.sequence.report(STATE_RUNNING, ACCEPTS_STOP, 0);
    r.sequence.report(STATE_STOP_PENDING, 0, 0);
    r.sequence.report(STATE_STOP_PENDING, 0, 0);
    r.sequence.report(STATE_STOP_PENDING, 0, 0);
    r.sequence.report(STATE_STOPPED, 0, 0);
    EXPECT_EQ(r.made, (std::vector<StatusReport>{
                          pending(STATE_START_PENDING, 0, 0),
                          pending(STATE_START_PENDING, ACCEPTS_STOP, 1),
                          pending(STATE_START_PENDING, ACCEPTS_STOP, 2),
                          {STATE_RUNNING, ACCEPTS_STOP, 0, 0, 0},
                          pending(STATE_STOP_PENDING, 0, 0),
                          pending(STATE_STOP_PENDING, 0, 1),
                          pending(STATE_STOP_PENDING, 0, 2),
                          {STATE_STOPPED, 0, 0, 0, 0},
                      }));
}

TEST(StatusSequence, NothingFollowsStoppedAndAPendingStopIsNeverUndone) {
    Recorder r;
    r.sequence.report(STATE_START_PENDING, ACCEPTS_STOP, 0);
    r.sequence.report(STATE_STOP_PENDING, 0, 0);
    EXPECT_FALSE(r.sequence.report(STATE_START_PENDING, ACCEPTS_STOP, 0));
    EXPECT_FALSE(r.sequence.report(STATE_RUNNING, ACCEPTS_STOP, 0));
    EXPECT_TRUE(r.sequence.report(STATE_STOPPED, 0, 0));
    for (std::uint32_t state :
         {STATE_STOP_PENDING, STATE_STOPPED, STATE_RUNNING, STATE_START_PENDING}) {
        EXPECT_FALSE(r.sequence.report(state, 0, 0)) << state;
    }
    EXPECT_EQ(r.made, (std::vector<StatusReport>{pending(STATE_START_PENDING, ACCEPTS_STOP, 0),
                                                 pending(STATE_STOP_PENDING, 0, 0),
                                                 {STATE_STOPPED, 0, 0, 0, 0}}));

    // A failed first start goes straight from starting to stopped, with its exit code.
    r.sequence.restart();
    r.made.clear();
    r.sequence.report(STATE_START_PENDING, 0, 0);
    r.sequence.report(STATE_STOPPED, 0, 1);
    EXPECT_EQ(r.made, (std::vector<StatusReport>{pending(STATE_START_PENDING, 0, 0),
                                                 {STATE_STOPPED, 0, 1, 0, 0}}));
}

} // namespace
} // namespace kestrune::service
