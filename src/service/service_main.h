#pragma once
// The service procedure the dispatcher runs on a thread of its own.

#include <windows.h>

#include <chrono>

namespace kestrune::service {

inline constexpr const char* SERVICE_NAME = "KestruneConnectSingBox";

// How long the end of a run waits for the output pumps of an ended child. Its pipes close
// with it, so they normally finish at once; a grandchild holding a pipe open must not hold
// the service.
inline constexpr std::chrono::milliseconds CHILD_OUTPUT_GRACE{2000};

// Registers the handler, starts route protection and the first child, supervises it until a
// stop, and reports every state change. Its arguments are not read.
void WINAPI service_main(DWORD argc, LPWSTR* argv);

} // namespace kestrune::service
