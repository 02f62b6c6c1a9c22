#pragma once
// Real processes and files for the soak and fault tests under Wine, on top of the shared Windows
// test helpers (temp folders, the stand-ins, handle and thread counts).

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "logging/shared_log.h"
#include "win/result.h"
#include "win/unique_handle.h"
#include "win_support.h"

namespace kestrune::soak {

using namespace kestrune::test;

// A folder holding a copy of the sing-box stand-in as sing-box.exe; returns the path of the
// (never created) service executable in it, for spawn_sing_box_from.
std::wstring make_service_dir();

// Points "PROGRAMDATA" at a new temp folder, writes `config` as the child's config.json in its
// data directory and returns the path of the service log there.
std::wstring use_new_programdata(const std::string& config);

// The whole file, read through a handle that shares read, write and delete, so reading never
// gets in the way of the log's own renames and deletions; empty when it cannot be opened.
std::string read_shared(const std::wstring& path);

// How many times `line` (with its line feed) occurs as a whole line of `text`.
std::size_t count_lines(std::string_view text, std::string_view line);

// `line` repeated `times` times.
std::string repeat(std::string_view line, std::size_t times);

// MinGW's winpthreads gives a mutex an event handle the first time a thread has to wait for it
// and keeps it for the mutex's life. For a mutex that lives as long as the process (the shared
// log's), this makes that handle now, so it is not taken for a leak when handles are counted.
void make_wait_handle(std::mutex& mutex);

// A private log of the service's own kind (RotatingLog behind a SharedLog), so one process can
// run several logs with thresholds of its choosing.
std::shared_ptr<logging::SharedLog> open_private_log(const std::wstring& path,
                                                     std::uint64_t max_bytes);

// The stand-in started with `config` as its config.json, with both output streams copied into
// a log by two pump threads that this object joins.
class PumpedStandIn {
  public:
    // One call per line, with what the log made of it. The default writes into `log` under its
    // mutex exactly as pump_output does.
    using Sink = std::function<Status(std::string_view line)>;

    PumpedStandIn(const std::string& config, Sink sink);
    PumpedStandIn(const std::string& config, std::shared_ptr<logging::SharedLog> log);
    ~PumpedStandIn();
    PumpedStandIn(const PumpedStandIn&) = delete;
    PumpedStandIn& operator=(const PumpedStandIn&) = delete;

    bool started() const { return started_; }
    // False when the child is still running after `limit_ms` (a guard against hanging only).
    bool exited_within(DWORD limit_ms);
    std::uint32_t exit_code();
    // Both pumps have reached the end of their streams.
    void join_pumps();

  private:
    bool started_ = false;
    win::UniqueHandle process_;
    std::vector<std::thread> pumps_;
};

} // namespace kestrune::soak
