#pragma once
// Real files, directories and processes for the child tests under Wine.

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "child/spawn.h"
#include "win_support.h"

namespace kestrune::child::test {

// Files, directories, processes and counts shared with the other Windows tests.
using namespace kestrune::test;

// A "service" directory holding a copy of the stand-in as sing-box.exe; returns the path of
// the (never created) service executable in it.
std::wstring make_service_dir(const std::wstring& name, bool with_sing_box);

// Points "PROGRAMDATA" at `programdata`, creates its KestruneConnect folder and writes
// `config` as config.json there; returns the config path as the child should be told it.
std::wstring set_programdata_with_config(const std::wstring& programdata,
                                         const std::string& config);

// spawn_sing_box_from a service directory holding the stand-in, with `config` as the child's
// config.json in a fresh data directory.
Result<SingBoxChild> spawn_stand_in(const std::string& config);

// For tests that start children with spawn_sing_box: each test ends only once the detached
// pumps of its children have ended, seen by their references to the shared log being
// released, so later tests count threads and handles undisturbed. This also checks that every
// pump ends by itself at the end of its stream.
long shared_log_references();
class ChildTest : public testing::Test {
  protected:
    void SetUp() override { references_ = shared_log_references(); }
    void TearDown() override {
        EXPECT_TRUE(eventually([this] { return shared_log_references() <= references_; }))
            << "output pumps still running";
    }

  private:
    long references_ = 0;
};

// The log file that the first shared_log() call of this test process opened.
const std::wstring& log_path();
void set_log_path(std::wstring path);

} // namespace kestrune::child::test
