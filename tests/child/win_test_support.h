#pragma once
// Real files, directories and processes for the child tests under Wine.

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "child/spawn.h"

namespace kestrune::child::test {

// A new empty directory under the temp directory, unique to this call.
std::wstring make_temp_dir(const std::wstring& name);
void make_directory_chain(const std::wstring& path);

// Directory of the running test executable (the build's bin folder, beside the stand-ins).
std::wstring exe_directory();
// The sing-box stand-in as built.
std::wstring stand_in_path();
// A "service" directory holding a copy of the stand-in as sing-box.exe; returns the path of
// the (never created) service executable in it.
std::wstring make_service_dir(const std::wstring& name, bool with_sing_box);

void write_file(const std::wstring& path, const std::string& bytes);
std::string read_file(const std::wstring& path);
bool file_exists(const std::wstring& path);

// A JSON string literal for `text` (UTF-8, paths included).
std::string json(const std::string& text);
std::string json(const std::wstring& text);

// Points "PROGRAMDATA" at `programdata`, creates its KestruneConnect folder and writes
// `config` as config.json there; returns the config path as the child should be told it.
std::wstring set_programdata_with_config(const std::wstring& programdata,
                                         const std::string& config);

// Polls `done` every 10 ms; false when it is still not true after `limit_ms` (only a guard
// against hanging, never a measure of speed).
bool eventually(const std::function<bool()>& done, int limit_ms = 30000);

// spawn_sing_box_from a service directory holding the stand-in, with `config` as the child's
// config.json in a fresh data directory.
Result<SingBoxChild> spawn_stand_in(const std::string& config);

DWORD thread_count();
std::size_t handle_count();

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
