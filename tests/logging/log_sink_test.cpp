// The shared log fixes its path once per process, so these tests have an executable of their
// own: PROGRAMDATA points into a fresh temporary directory before the first call, and the
// tests run in the order written (the first one needs the log not yet published).

#include "logging/log_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>
#include <vector>

#include "logging/shared_log.h"
#include "win_test_files.h"

namespace kestrune::logging {
namespace {

using namespace testing;

struct Places {
    TempDir root;
    std::wstring blocker = root / L"blocker";
    std::wstring programdata = blocker + L"\\data";
    std::wstring log = programdata + L"\\KestruneConnect\\sing-box-service.log";
};

Places& places() {
    static Places* places = new Places; // kept to the end: the log file stays open
    return *places;
}

class SinkEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(SetEnvironmentVariableW(L"PROGRAMDATA", places().programdata.c_str()));
    }
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new SinkEnvironment);

// What the log gained while `action` ran.
template <class F> std::string appended_by(F action) {
    const std::size_t before = read_file(places().log).value_or("").size();
    action();
    return read_file(places().log).value_or("").substr(before);
}

TEST(LogSink, FailureStoresNothingAndTheFirstSuccessFixesThePath) {
    // A file where the data directory's ancestor should be: nothing can be created.
    write_file(places().blocker, "in the way");
    log_line("lost"); // returns normally
    Result<std::shared_ptr<SharedLog>> failed = shared_log();
    ASSERT_FALSE(failed.ok()) << "the log was published before this test";
    EXPECT_THAT(failed.error(), ::testing::EndsWith("(os error 183)"));
    EXPECT_FALSE(exists(places().log));

    // Once the way is clear the next call creates the missing directories and the log.
    ASSERT_TRUE(DeleteFileW(places().blocker.c_str()));
    log_line("first");
    EXPECT_EQ(read_file(places().log), "first\n");

    Result<std::shared_ptr<SharedLog>> a = shared_log();
    Result<std::shared_ptr<SharedLog>> b = shared_log();
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a->get(), b->get());
    EXPECT_EQ((*a)->log.path(), places().log);

    // A later change of PROGRAMDATA does not move the log.
    const std::wstring elsewhere = places().root / L"elsewhere";
    ASSERT_TRUE(SetEnvironmentVariableW(L"PROGRAMDATA", elsewhere.c_str()));
    log_line("second");
    ASSERT_TRUE(SetEnvironmentVariableW(L"PROGRAMDATA", places().programdata.c_str()));
    EXPECT_EQ(read_file(places().log), "first\nsecond\n");
    EXPECT_FALSE(exists(elsewhere));
}

TEST(LogSink, OneLineFeedOnlyWhenTheMessageLacksOne) {
    struct Case {
        std::string message, stored;
    };
    const Case cases[] = {
        {"", "\n"},
        {"Kestrune service wrapper starting", "Kestrune service wrapper starting\n"},
        {"ends in a line feed\n", "ends in a line feed\n"},
        {"ends in CR LF\r\n", "ends in CR LF\r\n"},
        {"ends in CR\r", "ends in CR\r\n"},
        {"one\ntwo\nthree", "one\ntwo\nthree\n"},
        {"caf\xc3\xa9", "caf\xc3\xa9\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(appended_by([&] { log_line(c.message); }), c.stored);
    }
}

TEST(LogSink, ConcurrentWritersGiveWholeLinesOnly) {
    constexpr int THREADS = 8;
    constexpr int LINES = 1000;
    auto line_text = [](int thread, int line) {
        std::ostringstream out;
        out << "thread " << thread << " line " << line << ' ' << std::string(80, 'a' + thread);
        return out.str();
    };
    const std::string added = appended_by([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < LINES; ++i) {
                    if (t == 0) {
                        // As an output pump writes: its own reference, one line per lock.
                        Result<std::shared_ptr<SharedLog>> log = shared_log();
                        ASSERT_TRUE(log.ok());
                        std::lock_guard guard((*log)->mutex);
                        ASSERT_TRUE((*log)->log.write_line(line_text(t, i)).ok());
                    } else {
                        log_line(line_text(t, i));
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    });

    std::vector<int> next(THREADS, 0);
    std::istringstream lines(added);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        const int thread = line.size() > 7 ? line[7] - '0' : -1;
        ASSERT_TRUE(thread >= 0 && thread < THREADS) << line;
        // Whole, and in call order within each thread.
        ASSERT_EQ(line, line_text(thread, next[thread])) << "line " << count;
        ++next[thread];
    }
    EXPECT_EQ(count, THREADS * LINES);
    EXPECT_EQ(added.back(), '\n');
}

} // namespace
} // namespace kestrune::logging
