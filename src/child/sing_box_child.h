#pragma once
// A started sing-box process: its process and primary-thread handles, nothing else (the pipe
// read ends belong to the output pumps). No lock of its own; a holder that shares it across
// threads serialises the calls.

#include <optional>

#include "child/exit_status.h"
#include "win/result.h"
#include "win/unique_handle.h"

namespace kestrune::child {

class SingBoxChild {
  public:
    SingBoxChild(win::UniqueHandle process, win::UniqueHandle thread)
        : process_(std::move(process)), thread_(std::move(thread)) {}
    SingBoxChild(SingBoxChild&&) noexcept = default;
    SingBoxChild& operator=(SingBoxChild&&) noexcept = default;
    SingBoxChild(const SingBoxChild&) = delete;
    SingBoxChild& operator=(const SingBoxChild&) = delete;
    // Closes the two handles only: the process keeps running if it still is.
    ~SingBoxChild() = default;

    // Empty while the process runs. Never blocks.
    Result<std::optional<ExitStatus>, OsError> try_wait();
    // Blocks until the process has ended.
    Result<ExitStatus, OsError> wait();
    // TerminateProcess with exit code 1; does not wait for the process to end.
    Result<void, OsError> kill();

  private:
    win::UniqueHandle process_;
    win::UniqueHandle thread_;
};

} // namespace kestrune::child
