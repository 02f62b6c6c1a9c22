#include "child/activity_count.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kestrune::child {
namespace {

using namespace std::chrono_literals;

TEST(ActivityCount, IdleAtOnceWhenNothingRuns) {
    ActivityCount count;
    EXPECT_TRUE(count.wait_idle(0ms));
}

TEST(ActivityCount, WaitsForEveryWorkerToEnd) {
    ActivityCount count;
    std::atomic<int> finished{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        count.begin();
        workers.emplace_back([&] {
            while (!release.load()) {
                std::this_thread::yield();
            }
            finished.fetch_add(1);
            count.end();
        });
    }
    EXPECT_FALSE(count.wait_idle(20ms)) << "no worker has ended yet";
    release.store(true);
    EXPECT_TRUE(count.wait_idle(60s));
    EXPECT_EQ(finished.load(), 4);
    for (auto& w : workers) {
        w.join();
    }
}

} // namespace
} // namespace kestrune::child
