#include "child/pump.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "child/activity_count.h"
#include "child/line_splitter.h"
#include "win/os_error.h"

namespace kestrune::child {
namespace {

ChunkRead read_chunk(HANDLE pipe, char* dest, std::size_t capacity) {
    DWORD got = 0;
    if (ReadFile(pipe, dest, static_cast<DWORD>(capacity), &got, nullptr)) {
        return ChunkRead{got, false};
    }
    const DWORD error = GetLastError();
    // The writer closing its end shows up as a broken pipe, or as "no data" while a pipe is
    // being closed; both are the ordinary end of the stream.
    return ChunkRead{0, error != ERROR_BROKEN_PIPE && error != ERROR_NO_DATA};
}

ActivityCount& running_pumps() {
    static ActivityCount count;
    return count;
}

struct PumpStart {
    std::shared_ptr<logging::SharedLog> log;
    win::UniqueHandle pipe;
};

DWORD WINAPI pump_thread(void* parameter) {
    std::unique_ptr<PumpStart> start(static_cast<PumpStart*>(parameter));
    try {
        pump_output(std::move(start->log), std::move(start->pipe));
    } catch (...) {
        // Only the buffers can throw (out of memory); nothing may unwind into the OS.
        std::abort();
    }
    // The pipe and the log reference are released by now.
    running_pumps().end();
    return 0;
}

} // namespace

void pump_pipe(HANDLE pipe, const std::function<Status(std::string_view line)>& sink) {
    pump_lines(
        [pipe](char* dest, std::size_t capacity) { return read_chunk(pipe, dest, capacity); },
        [&sink](std::string_view line) { (void)sink(line); });
}

void pump_output(std::shared_ptr<logging::SharedLog> log, win::UniqueHandle pipe) {
    pump_pipe(pipe.get(), [&log](std::string_view line) {
        std::lock_guard guard(log->mutex);
        return log->log.write_line(line);
    });
}

void start_pump(std::shared_ptr<logging::SharedLog> log, win::UniqueHandle pipe) {
    auto start = std::make_unique<PumpStart>(PumpStart{std::move(log), std::move(pipe)});
    running_pumps().begin();
    HANDLE thread = CreateThread(nullptr, 0, pump_thread, start.get(), 0, nullptr);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        const std::string text = "failed to spawn thread: " + win::os_error_text(error) + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
        std::abort();
    }
    start.release(); // the thread owns it now
    CloseHandle(thread);
}

bool wait_for_pumps(std::chrono::milliseconds limit) {
    return running_pumps().wait_idle(limit);
}

} // namespace kestrune::child
