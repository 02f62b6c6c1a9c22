#pragma once
// The output pumps: one detached thread per child stream copies each line the child writes,
// as the exact bytes, into the shared log.

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

#include "logging/shared_log.h"
#include "win/result.h"
#include "win/unique_handle.h"

namespace kestrune::child {

// The body of one pump thread: reads `pipe` until the end of the stream (0 bytes,
// ERROR_BROKEN_PIPE or ERROR_NO_DATA) or a read error, and writes each line with one
// write_line call under the log's mutex, never held while reading. Errors of write_line are
// dropped, so a log that cannot be written never stops the pipe from being drained.
void pump_output(std::shared_ptr<logging::SharedLog> log, win::UniqueHandle pipe);

// The same loop with any line sink; pump_output is this with the shared log as the sink.
void pump_pipe(HANDLE pipe, const std::function<Status(std::string_view line)>& sink);

// Runs pump_output on a new detached thread that owns `log` and `pipe`. When no thread can be
// created the process ends at once with "failed to spawn thread" and the OS error on stderr.
void start_pump(std::shared_ptr<logging::SharedLog> log, win::UniqueHandle pipe);

// Waits until every pump started by start_pump has ended, at most `limit` (a grandchild that
// inherited a pipe's write end can keep a pump reading long after the child has gone).
// Callers use it after the child has ended and before the process exits, so the child's last
// lines reach the log first. True when all pumps have ended.
bool wait_for_pumps(std::chrono::milliseconds limit);

} // namespace kestrune::child
