// Every test of this executable shares one log: shared_log() fixes its path at the first call,
// so "PROGRAMDATA" points at a temp directory before anything can open it.

#include <gtest/gtest.h>

#include "logging/shared_log.h"
#include "win/wide.h"
#include "win_test_support.h"

namespace kestrune::child::test {
namespace {

class LogEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        const std::wstring programdata = make_temp_dir(L"first-data");
        SetEnvironmentVariableW(L"PROGRAMDATA", programdata.c_str());
        auto log = logging::shared_log();
        ASSERT_TRUE(log.ok()) << log.error();
        set_log_path(programdata + L"\\KestruneConnect\\sing-box-service.log");
        ASSERT_TRUE(file_exists(log_path())) << win::narrow_lossy(log_path());
    }
};

const auto* const registered = testing::AddGlobalTestEnvironment(new LogEnvironment);

} // namespace
} // namespace kestrune::child::test
